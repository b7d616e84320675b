// The 64-bit editor's table over the same ContainerReader as the 32-bit editor's. The export
// that hands it to the editor lives in its own file (editor2_export.cpp), so the tests can link
// both tables into one program.
#pragma once

#include "editor2_input.h"

// UTF-16 text literals for LPCWSTR on every build.
#ifdef _WIN32
#define QV_WIDE(text) L##text
#else
#define QV_WIDE(text) u##text
#endif

namespace qv_reader {

editor2::INPUT_PLUGIN_TABLE* editor2Table();

}  // namespace qv_reader
