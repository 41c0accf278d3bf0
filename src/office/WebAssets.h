#pragma once
// The page's own files (src/office/web), compiled into kestova-office.
#include <cstddef>
#include <string>

struct WebAsset {
    const char* path;  // "/app.js"
    const char* type;  // its Content-Type
    const char* data;
    std::size_t size;
};

// The file served at `path`, or nullptr.
const WebAsset* FindWebAsset(const std::string& path);
