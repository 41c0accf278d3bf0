#include "office/Pg.h"

std::string PgErrorOf(pg_conn* conn) {
    std::string text = conn ? PQerrorMessage(conn) : "no connection";
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    for (char& c : text)
        if (c == '\n') c = ' ';
    return text;
}

bool PgOpen(pg_conn** conn, const std::string& conninfo, std::string* why) {
    if (*conn) PQfinish(*conn);
    *conn = PQconnectdb(conninfo.c_str());
    PQsetNoticeProcessor(*conn, [](void*, const char*) {}, nullptr);
    if (PQstatus(*conn) != CONNECTION_OK) {
        if (why) *why = "cannot connect to the database: " + PgErrorOf(*conn);
        return false;
    }
    return true;
}

bool PgUsable(pg_conn** conn, const std::string& conninfo, std::string* why) {
    if (*conn && PQstatus(*conn) == CONNECTION_OK) return true;
    if (!*conn) return PgOpen(conn, conninfo, why);
    PQreset(*conn);
    if (PQstatus(*conn) == CONNECTION_OK) return true;
    if (why) *why = "cannot connect to the database: " + PgErrorOf(*conn);
    return false;
}

namespace {

int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string PgTextArray(const std::vector<std::string>& items) {
    std::string text = "{";
    for (const std::string& item : items) {
        if (text.size() > 1) text += ',';
        text += '"';
        for (char c : item) {
            if (c == '"' || c == '\\') text += '\\';
            text += c;
        }
        text += '"';
    }
    return text + "}";
}

bool DecodeBytea(const char* text, std::vector<std::uint8_t>* out) {
    out->clear();
    if (text[0] != '\\' || text[1] != 'x') return false;
    for (const char* p = text + 2; *p != '\0'; p += 2) {
        const int hi = Hex(p[0]), lo = p[1] != '\0' ? Hex(p[1]) : -1;
        if (hi < 0 || lo < 0) return false;
        out->push_back(static_cast<std::uint8_t>(hi * 16 + lo));
    }
    return true;
}
