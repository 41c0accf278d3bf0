#include "platform/Profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "platform/AtomicFile.h"

namespace {

// One line of the file as it was read: its text without the line end, and
// the line end itself ("\r\n", "\n" or "" for a last line without one).
struct Line {
    std::string text;
    std::string end;
};

enum class FileRead { Read, Missing, Refused };

std::string KindOf(mode_t mode) {
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "no regular file";
}

// Opened without waiting (a FIFO without a writer would hold the open and
// every read) and looked at before anything is read from it.
FileRead ReadProfileFile(const std::string& path, std::string* content, std::string* why) {
    content->clear();
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return FileRead::Missing;
        if (why != nullptr) *why = std::string("cannot be read: ") + std::strerror(errno);
        return FileRead::Refused;
    }
    struct stat st {};
    std::string refusal;
    if (::fstat(fd, &st) != 0) {
        refusal = std::string("cannot be read: ") + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        refusal = "is " + KindOf(st.st_mode) + ", not a regular file";
    } else if (static_cast<std::uintmax_t>(st.st_size) > PROFILE_MAX_SIZE) {
        refusal = "is " + std::to_string(st.st_size) + " bytes long, more than " +
                  std::to_string(PROFILE_MAX_SIZE);
    } else {
        // One byte more than the limit tells a file that grew meanwhile.
        content->resize(PROFILE_MAX_SIZE + 1);
        std::size_t got = 0;
        while (got < content->size()) {
            const ssize_t n = ::read(fd, content->data() + got, content->size() - got);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                refusal = std::string("cannot be read: ") + std::strerror(errno);
                break;
            }
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        content->resize(got);
        if (refusal.empty() && got > PROFILE_MAX_SIZE)
            refusal = "is more than " + std::to_string(PROFILE_MAX_SIZE) + " bytes long";
    }
    ::close(fd);
    if (refusal.empty()) return FileRead::Read;
    content->clear();
    if (why != nullptr) *why = refusal;
    return FileRead::Refused;
}

std::vector<Line> SplitLines(const std::string& content) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < content.size()) {
        std::size_t nl = content.find('\n', pos);
        Line line;
        if (nl == std::string::npos) {
            line.text = content.substr(pos);
            pos = content.size();
        } else {
            std::size_t textEnd = nl;
            if (textEnd > pos && content[textEnd - 1] == '\r') --textEnd;
            line.text = content.substr(pos, textEnd - pos);
            line.end = content.substr(textEnd, nl + 1 - textEnd);
            pos = nl + 1;
        }
        lines.push_back(std::move(line));
    }
    return lines;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string Trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b])) ++b;
    while (e > b && IsBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

// "[Name]" -> Name; nullopt for any other line.
std::optional<std::string> SectionName(const std::string& text) {
    std::string t = Trim(text);
    if (t.size() < 2 || t.front() != '[') return std::nullopt;
    std::size_t close = t.rfind(']');
    if (close == std::string::npos || close == 0) return std::nullopt;
    return Trim(t.substr(1, close - 1));
}

bool IsComment(const std::string& trimmed) {
    return !trimmed.empty() && (trimmed.front() == ';' || trimmed.front() == '#');
}

// "Key = Value" -> Key and Value (both trimmed); false for other lines.
bool SplitKeyLine(const std::string& text, std::string* key, std::string* value) {
    std::string t = Trim(text);
    if (t.empty() || IsComment(t) || t.front() == '[') return false;
    std::size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    *key = Trim(t.substr(0, eq));
    if (value != nullptr) *value = Trim(t.substr(eq + 1));
    return !key->empty();
}

// Where a key sits in the split file.
struct Location {
    std::optional<std::size_t> sectionLine;  // the "[Section]" line
    std::optional<std::size_t> keyLine;      // the "Key=..." line inside it
    std::size_t sectionEnd = 0;              // one past the section's last non-blank line
};

Location Find(const std::vector<Line>& lines, const std::string& section,
              const std::string& key) {
    Location where;
    bool inside = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        // A byte-order mark before the first line is not part of the text.
        std::string text = lines[i].text;
        if (i == 0 && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
        if (auto name = SectionName(text)) {
            if (inside) break;  // the first section of that name is the one used
            if (EqualNoCase(*name, section)) {
                inside = true;
                where.sectionLine = i;
                where.sectionEnd = i + 1;
            }
            continue;
        }
        if (!inside) continue;
        if (!Trim(text).empty()) where.sectionEnd = i + 1;
        std::string k;
        if (!where.keyLine && SplitKeyLine(text, &k, nullptr) && EqualNoCase(k, key)) {
            where.keyLine = i;
        }
    }
    return where;
}

std::string StripQuotes(const std::string& value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

bool HasLineBreak(const std::string& s) {
    return s.find('\n') != std::string::npos || s.find('\r') != std::string::npos;
}

}  // namespace

int ParseLeadingInt(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (IsBlank(text[i]) || text[i] == '\n')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > static_cast<long long>(INT_MAX) + 1) value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    return static_cast<int>(value);
}

bool CheckProfileFile(const std::string& path, std::string* why) {
    std::string content;
    return ReadProfileFile(path, &content, why) != FileRead::Refused;
}

std::string GetProfileString(const std::string& path, const std::string& section,
                             const std::string& key, const std::string& defaultValue,
                             std::string* why) {
    if (why != nullptr) why->clear();
    std::string content;
    if (ReadProfileFile(path, &content, why) != FileRead::Read) return defaultValue;
    const std::vector<Line> lines = SplitLines(content);
    const Location where = Find(lines, section, key);
    if (!where.keyLine) return defaultValue;
    std::string k, value;
    SplitKeyLine(lines[*where.keyLine].text, &k, &value);
    return StripQuotes(value);
}

std::vector<std::pair<std::string, std::string>> GetProfileSection(const std::string& path,
                                                                   const std::string& section,
                                                                   std::string* why) {
    if (why != nullptr) why->clear();
    std::vector<std::pair<std::string, std::string>> out;
    std::string content;
    if (ReadProfileFile(path, &content, why) != FileRead::Read) return out;
    const std::vector<Line> lines = SplitLines(content);
    bool inside = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string text = lines[i].text;
        if (i == 0 && text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
        if (auto name = SectionName(text)) {
            if (inside) break;
            inside = EqualNoCase(*name, section);
            continue;
        }
        std::string key, value;
        if (inside && SplitKeyLine(text, &key, &value)) out.emplace_back(key, StripQuotes(value));
    }
    return out;
}

int GetProfileInt(const std::string& path, const std::string& section, const std::string& key,
                  int defaultValue, std::string* why) {
    // A key with nothing after "=" counts as not set.
    const std::string text = GetProfileString(path, section, key, std::string(), why);
    if (text.empty()) return defaultValue;
    return ParseLeadingInt(text);
}

bool WriteProfileString(const std::string& path, const std::string& section,
                        const std::string& key, const std::string& value) {
    // Names and values that would break the line structure are refused.
    if (section.empty() || key.empty() || HasLineBreak(section) || HasLineBreak(key) ||
        HasLineBreak(value) || section.find(']') != std::string::npos ||
        key.find('=') != std::string::npos || Trim(key) != key || Trim(section) != section ||
        key.front() == '[' || IsComment(key)) {
        return false;
    }
    // A file that is there but cannot be read as a profile is left alone.
    std::string content;
    if (ReadProfileFile(path, &content, nullptr) == FileRead::Refused) return false;
    std::vector<Line> lines = SplitLines(content);

    // New lines take the file's own line end.
    std::string eol = "\n";
    for (const Line& l : lines)
        if (!l.end.empty()) {
            eol = l.end;
            break;
        }

    const Location where = Find(lines, section, key);
    if (where.keyLine) {
        Line& line = lines[*where.keyLine];
        std::string k;
        SplitKeyLine(line.text, &k, nullptr);
        line.text = k + "=" + value;
    } else if (where.sectionLine) {
        std::size_t at = where.sectionEnd;
        if (at > 0 && lines[at - 1].end.empty()) lines[at - 1].end = eol;
        lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), Line{key + "=" + value, eol});
    } else {
        if (!lines.empty()) {
            if (lines.back().end.empty()) lines.back().end = eol;
            if (!Trim(lines.back().text).empty()) lines.push_back(Line{"", eol});
        }
        lines.push_back(Line{"[" + section + "]", eol});
        lines.push_back(Line{key + "=" + value, eol});
    }

    std::string out;
    out.reserve(content.size() + key.size() + value.size() + section.size() + 8);
    for (const Line& l : lines) {
        out += l.text;
        out += l.end;
    }
    return WriteFileAtomically(path, out.data(), out.size()) == AtomicWriteResult::Ok;
}

bool WriteProfileInt(const std::string& path, const std::string& section, const std::string& key,
                     int value) {
    return WriteProfileString(path, section, key, std::to_string(value));
}
