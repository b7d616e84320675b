#include "plugin_loader.h"

#include <cstdlib>
#include <cstring>

#include "console.h"

#ifndef _WIN32
#include <dlfcn.h>
#endif

namespace qvf_tool {

namespace {

#ifdef _WIN32
using GetTableFunction = INPUT_PLUGIN_TABLE*(__stdcall*)(void);
const char kPluginFile[] = "QuorvaneVideoFormat.dll";

void* openModule(const std::string& path, std::string* error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    *error = "LoadLibrary failed (error " + std::to_string(GetLastError()) + ")";
  }
  return reinterpret_cast<void*>(module);
}
void* findSymbol(void* module, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}
void closeModule(void* module) { FreeLibrary(static_cast<HMODULE>(module)); }
#else
using GetTableFunction = INPUT_PLUGIN_TABLE* (*)(void);
const char kPluginFile[] = "QuorvaneVideoFormat.so";

void* openModule(const std::string& path, std::string* error) {
  // A path without a slash would make dlopen search the system's library path instead.
  const std::string name = path.find('/') == std::string::npos ? "./" + path : path;
  void* module = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    const char* text = dlerror();
    *error = text != nullptr ? text : "dlopen failed";
  }
  return module;
}
void* findSymbol(void* module, const char* name) { return dlsym(module, name); }
void closeModule(void* module) { dlclose(module); }
#endif

}  // namespace

InputPlugin::~InputPlugin() {
  if (table_ != nullptr && table_->func_exit != nullptr) table_->func_exit();
  if (module_ != nullptr) closeModule(module_);
}

std::vector<std::string> InputPlugin::candidates(const std::string& explicitPath) {
  if (!explicitPath.empty()) return {explicitPath};
  const char* fromEnvironment = std::getenv("QV_PLUGIN");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') return {fromEnvironment};
  std::vector<std::string> list;
  const std::string dir = qvtools::executableDirectory();
  if (!dir.empty()) {
#ifdef _WIN32
    list.push_back(dir + "\\" + kPluginFile);
#else
    list.push_back(dir + "/../lib/" + kPluginFile);
    list.push_back(dir + "/" + kPluginFile);
#endif
  }
  return list;
}

bool InputPlugin::load(const std::string& path, std::string* error) {
  path_ = path;
  module_ = openModule(path, error);
  if (module_ == nullptr) return false;
  auto getTable = reinterpret_cast<GetTableFunction>(findSymbol(module_, "GetInputPluginTable"));
  if (getTable == nullptr) {
    *error = "it has no GetInputPluginTable export";
    return false;
  }
  INPUT_PLUGIN_TABLE* table = getTable();
  if (table == nullptr || table->func_open == nullptr || table->func_close == nullptr ||
      table->func_info_get == nullptr || table->func_read_video == nullptr ||
      table->func_read_audio == nullptr || table->func_is_keyframe == nullptr) {
    *error = "its plug-in table lacks entry points";
    return false;
  }
  if (table->func_init != nullptr && !table->func_init()) {
    *error = "its func_init failed";
    return false;
  }
  table_ = table;
  return true;
}

OpenedFile::OpenedFile(const InputPlugin& plugin, INPUT_HANDLE handle)
    : plugin_(plugin), handle_(handle) {
  plugin_.table().func_info_get(handle_, &info_);
  // The plug-in's format records live until func_close; copies keep this object simple.
  if (info_.format != nullptr) std::memcpy(&video_, info_.format, sizeof(video_));
  if (info_.audio_format != nullptr) std::memcpy(&audio_, info_.audio_format, sizeof(audio_));
}

OpenedFile::~OpenedFile() { plugin_.table().func_close(handle_); }

std::unique_ptr<OpenedFile> OpenedFile::open(const InputPlugin& plugin, const std::string& path,
                                             std::string* error) {
  if (!qvtools::fileExists(path)) {
    *error = "no such file";
    return nullptr;
  }
  if (qvtools::isDirectory(path)) {
    *error = "is a directory";
    return nullptr;
  }
  std::vector<char> name(path.begin(), path.end());
  name.push_back('\0');
  INPUT_HANDLE handle = plugin.table().func_open(name.data());
  if (handle == nullptr) {
    *error = "the reader plug-in cannot open it (not a recording, or damaged)";
    return nullptr;
  }
  std::unique_ptr<OpenedFile> file(new OpenedFile(plugin, handle));
  walkContainer(path, &file->walk_);
  return file;
}

int OpenedFile::readVideo(int frame, void* buffer) const {
  return plugin_.table().func_read_video(handle_, frame, buffer);
}

int OpenedFile::readAudio(int start, int length, void* buffer) const {
  return plugin_.table().func_read_audio(handle_, start, length, buffer);
}

bool OpenedFile::isRepeat(int frame) const {
  return frame >= 0 && static_cast<size_t>(frame) < walk_.videoTypes.size() &&
         walk_.videoTypes[static_cast<size_t>(frame)] == qvf::RECORD_REPEAT;
}

bool OpenedFile::readPicture(int frame, void* buffer) const {
  const int got = readVideo(frame, buffer);
  if (!isRepeat(frame)) {
    lastSource_ = frame;
    lastSourceGood_ = got == static_cast<int>(pictureBytes());
    return lastSourceGood_;
  }
  if (got == static_cast<int>(pictureBytes())) return true;
  if (got != 0) return false;
  // The editor's table answers 0 for every repeat, with the repeated picture in the buffer:
  // the picture is right exactly when the frame it repeats decodes.
  int source = frame;
  while (source >= 0 && isRepeat(source)) --source;
  if (source < 0) return false;  // nothing before it to repeat
  if (source != lastSource_) {
    scratch_.resize(pictureBytes());
    lastSource_ = source;
    lastSourceGood_ = readVideo(source, scratch_.data()) == static_cast<int>(pictureBytes());
    readVideo(frame, buffer);
  }
  return lastSourceGood_;
}

bool OpenedFile::isKeyframe(int frame) const {
  return plugin_.table().func_is_keyframe(handle_, frame) != FALSE;
}

}  // namespace qvf_tool
