#pragma once
// Who is logged in to the office's page: operators' passwords (libsodium's
// Argon2id strings), sessions held in memory (a random token in an HttpOnly
// cookie, a CSRF token of their own, idle and absolute expiry) and the
// limit on failed logins per name.
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// False when libsodium cannot be initialised.
bool WebCryptoReady();

// A token of `bytes` random bytes, as hex.
std::string RandomToken(std::size_t bytes = 32);

// Argon2id at libsodium's interactive limits; "" when it could not be made.
std::string HashPassword(const std::string& password);
bool VerifyPassword(const std::string& hash, const std::string& password);

// Well-formed UTF-8 (no overlong forms, surrogates or code points beyond U+10FFFF).
bool ValidUtf8(const std::string& text);

// "viewer" or "acknowledger".
bool ValidRole(const std::string& role);
// 1 to 64 bytes of valid UTF-8 without control characters.
bool ValidOperatorName(const std::string& name);

struct WebSession {
    std::string name, role, csrf;
    std::chrono::steady_clock::time_point created, used;
};

class SessionStore {
public:
    SessionStore(std::chrono::seconds idle, std::chrono::seconds absolute) : idle_(idle), absolute_(absolute) {}
    // A new session; its token.
    std::string Create(const std::string& name, const std::string& role, WebSession* out);
    // The session of `token` unless it expired (then it is forgotten). With
    // `touch` the request counts as the operator's: the idle time starts
    // again (the page's own refreshes do not).
    bool Find(const std::string& token, bool touch, WebSession* out);
    void Remove(const std::string& token);

private:
    std::mutex mutex_;
    std::chrono::seconds idle_, absolute_;
    std::map<std::string, WebSession> sessions_;
};

// At most `failures` failed logins per name within `window`; then the name
// is refused until the oldest of them is that old.
class LoginLimiter {
public:
    LoginLimiter(int failures, std::chrono::seconds window) : failures_(failures), window_(window) {}
    // 0 when a login may be tried now, else the seconds to wait.
    long long Wait(const std::string& name);
    void Failed(const std::string& name);
    void Succeeded(const std::string& name);

private:
    std::mutex mutex_;
    int failures_;
    std::chrono::seconds window_;
    std::map<std::string, std::vector<std::chrono::steady_clock::time_point>> failed_;
};

// kestova-office --add-operator NAME --role ROLE: reads the password from
// standard input (without echo on a terminal), hashes it and stores the
// operator in the database of `conninfo` (migrated first). The exit status:
// 0 done, 1 the database failed, 2 a bad name, role or password.
int AddOperatorFromStdin(const std::string& conninfo, const std::string& name, const std::string& role);
