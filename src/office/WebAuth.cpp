#include "office/WebAuth.h"

#include <sodium.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <vector>

#include "office/OfficeDb.h"

bool WebCryptoReady() { return sodium_init() >= 0; }

std::string RandomToken(std::size_t bytes) {
    std::vector<unsigned char> raw(bytes);
    randombytes_buf(raw.data(), raw.size());
    static const char hex[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : raw) {
        text += hex[b >> 4];
        text += hex[b & 15];
    }
    return text;
}

std::string HashPassword(const std::string& password) {
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return "";
    return out;
}

bool VerifyPassword(const std::string& hash, const std::string& password) {
    if (hash.empty() || hash.size() >= crypto_pwhash_STRBYTES) return false;
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

bool ValidUtf8(const std::string& text) {
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        int more = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xe0) == 0xc0) {
            more = 1;
            cp = c & 0x1f;
        } else if ((c & 0xf0) == 0xe0) {
            more = 2;
            cp = c & 0x0f;
        } else if ((c & 0xf8) == 0xf0) {
            more = 3;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + static_cast<std::size_t>(more) >= text.size()) return false;
        for (int k = 1; k <= more; ++k) {
            const auto n = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
            if ((n & 0xc0) != 0x80) return false;
            cp = cp << 6 | (n & 0x3f);
        }
        // Overlong forms, surrogates and beyond U+10FFFF are not UTF-8.
        static const std::uint32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (cp < least[more] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
        i += static_cast<std::size_t>(more) + 1;
    }
    return true;
}

bool ValidRole(const std::string& role) { return role == "viewer" || role == "acknowledger"; }

bool ValidOperatorName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f) return false;
    return ValidUtf8(name);
}



std::string SessionStore::Create(const std::string& name, const std::string& role, WebSession* out) {
    WebSession s;
    s.name = name;
    s.role = role;
    s.csrf = RandomToken();
    s.created = s.used = std::chrono::steady_clock::now();
    const std::string token = RandomToken();
    std::lock_guard<std::mutex> lock(mutex_);
    // Forget the expired ones now and then, so that the map stays small.
    for (auto it = sessions_.begin(); it != sessions_.end();)
        if (s.created - it->second.used > idle_ || s.created - it->second.created > absolute_) it = sessions_.erase(it);
        else ++it;
    sessions_[token] = s;
    if (out) *out = s;
    return token;
}

bool SessionStore::Find(const std::string& token, bool touch, WebSession* out) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sessions_.find(token);
    if (it == sessions_.end()) return false;
    if (now - it->second.used > idle_ || now - it->second.created > absolute_) {
        sessions_.erase(it);
        return false;
    }
    if (touch) it->second.used = now;
    if (out) *out = it->second;
    return true;
}

void SessionStore::Remove(const std::string& token) {
    std::lock_guard<std::mutex> lock(mutex_);
    sessions_.erase(token);
}

long long LoginLimiter::Wait(const std::string& name) {
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = failed_.find(name);
    if (it == failed_.end()) return 0;
    auto& times = it->second;
    times.erase(std::remove_if(times.begin(), times.end(), [&](auto t) { return now - t >= window_; }), times.end());
    if (times.empty()) {
        failed_.erase(it);
        return 0;
    }
    if (static_cast<int>(times.size()) < failures_) return 0;
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(times.front() + window_ - now).count();
    return std::max<long long>(1, left);
}

void LoginLimiter::Failed(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Names that are no operator's count too: the stale ones go when the map grows.
    const auto now = std::chrono::steady_clock::now();
    if (failed_.size() > 10000) {
        for (auto it = failed_.begin(); it != failed_.end();) {
            if (!it->second.empty() && now - it->second.back() >= window_) it = failed_.erase(it);
            else ++it;
        }
    }
    failed_[name].push_back(std::chrono::steady_clock::now());
}

void LoginLimiter::Succeeded(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_.erase(name);
}

int AddOperatorFromStdin(const std::string& conninfo, const std::string& name, const std::string& role) {
    if (!ValidOperatorName(name)) {
        std::fprintf(stderr, "kestova-office: an operator's name is 1 to 64 characters of text\n");
        return 2;
    }
    if (!ValidRole(role)) {
        std::fprintf(stderr, "kestova-office: --role takes viewer or acknowledger\n");
        return 2;
    }
    if (!WebCryptoReady()) {
        std::fprintf(stderr, "kestova-office: libsodium could not be initialised\n");
        return 1;
    }
    const bool tty = isatty(STDIN_FILENO) == 1;
    termios saved{};
    if (tty) {
        std::fprintf(stderr, "Password for %s: ", name.c_str());
        std::fflush(stderr);
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= static_cast<tcflag_t>(~ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string password;
    const bool read = static_cast<bool>(std::getline(std::cin, password));
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fputc('\n', stderr);
    }
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (!read || password.size() < 8 || password.size() > 1024) {
        std::fprintf(stderr, "kestova-office: a password of 8 to 1024 bytes is needed on standard input\n");
        return 2;
    }
    const std::string hash = HashPassword(password);
    sodium_memzero(password.data(), password.size());
    if (hash.empty()) {
        std::fprintf(stderr, "kestova-office: the password could not be hashed (out of memory?)\n");
        return 1;
    }
    OfficeDatabase db;
    std::string why;
    if (!db.Open(conninfo, &why) || !db.Migrate(&why) || !db.SetOperator(name, role, hash, &why)) {
        std::fprintf(stderr, "kestova-office: %s\n", why.c_str());
        return 1;
    }
    std::printf("Operator %s stored with the role %s\n", name.c_str(), role.c_str());
    return 0;
}
