#pragma once
// A fresh, empty data folder for one test, removed with the object.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

namespace testsupport {

class TempDataFolder {
public:
    TempDataFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "kestova-test-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) std::abort();
        path_ = pattern;
    }
    ~TempDataFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDataFolder(const TempDataFolder&) = delete;
    TempDataFolder& operator=(const TempDataFolder&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // The folder as the collector takes it, with a trailing "/".
    std::string Folder() const { return path_.string() + "/"; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

inline std::string ReadWholeFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The names in a folder, sorted.
inline std::string ListFolder(const std::filesystem::path& folder) {
    std::string names;
    std::error_code ec;
    std::vector<std::string> all;
    for (const auto& e : std::filesystem::directory_iterator(folder, ec)) all.push_back(e.path().filename().string());
    std::sort(all.begin(), all.end());
    for (const auto& n : all) names += n + "\n";
    return names;
}

}  // namespace testsupport
