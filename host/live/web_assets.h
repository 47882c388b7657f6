// The live page's files, built into the bench host so that it needs no
// network and no files beside it.
#pragma once

#include <cstddef>
#include <string>

struct WebAsset {
    const char* path;  // as requested, "/" for the page
    const char* content_type;
    const unsigned char* data;
    std::size_t size;
};

// Nothing for a path that is no asset.
const WebAsset* find_web_asset(const std::string& path);
