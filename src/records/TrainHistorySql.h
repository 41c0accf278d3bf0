#pragma once
// Shared by the train history's own sources only (schema, writer,
// queries); the rest of the program uses records/TrainHistory.h.
#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace history_sql {

// A prepared statement that finalises itself.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool Ok() const { return stmt_ != nullptr; }
    Statement& Bind(int i, std::int64_t v) {
        sqlite3_bind_int64(stmt_, i, v);
        return *this;
    }
    Statement& Bind(int i, const std::string& v) {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindBlob(int i, const std::uint8_t* data, std::size_t size) {
        sqlite3_bind_blob(stmt_, i, data, static_cast<int>(size), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& BindNull(int i) {
        sqlite3_bind_null(stmt_, i);
        return *this;
    }
    Statement& BindReal(int i, double v) {
        sqlite3_bind_double(stmt_, i, v);
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return stmt_ != nullptr ? sqlite3_step(stmt_) : SQLITE_ERROR; }
    bool Run() {
        const int rc = Step();
        sqlite3_reset(stmt_);
        return rc == SQLITE_DONE || rc == SQLITE_ROW;
    }
    void Reset() { sqlite3_reset(stmt_); }
    std::int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
    bool IsNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    double Real(int col) const { return sqlite3_column_double(stmt_, col); }
    std::string Blob(int col) const {
        const void* b = sqlite3_column_blob(stmt_, col);
        const int n = sqlite3_column_bytes(stmt_, col);
        return b != nullptr && n > 0 ? std::string(static_cast<const char*>(b), static_cast<std::size_t>(n)) : "";
    }
    std::string Text(int col) const {
        const unsigned char* t = sqlite3_column_text(stmt_, col);
        return t != nullptr ? reinterpret_cast<const char*>(t) : "";
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace history_sql
