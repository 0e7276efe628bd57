// Output files that appear whole or not at all.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace fastlic {

// Runs write on a temporary file beside path and renames it onto path once
// it is complete and closed; on any failure the temporary file is removed,
// path is left as it was, and OutputError is thrown naming path.
void writeOutputFile(const std::string& path, const std::function<void(std::FILE*)>& write);

}  // namespace fastlic
