// The single export of QuorvaneVideoFormat.aui2.
#include "editor2_plugin.h"

extern "C" QV_EDITOR_EXPORT editor2::INPUT_PLUGIN_TABLE* GetInputPluginTable(void) {
  return qv_reader::editor2Table();
}
