// What the fuzz targets share: writing a slice of the input as a file through the engine's
// file-system layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/fs.h"

inline void WriteInputFile(const std::string& path, const uint8_t* data, size_t n) {
  auto f = engine::CurrentFileSystem()->Open(path, engine::OpenMode::kCreate);
  if (n) f->WriteAt(0, data, n);
}
