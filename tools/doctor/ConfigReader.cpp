#include "tools/doctor/ConfigReader.h"

// windows.h first: objidl.h and xmllite.h need its types.
#include "platform/Platform.h"
// clang-format off
#include <objidl.h>
#include <xmllite.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <vector>

#include "strings/AsciiText.h"
#include "tools/doctor/WindowsFacts.h"

namespace refwarden::doctor {

namespace {

// The document as an ISequentialStream, which is all XmlLite asks of its
// input; it lives on the stack, so reference counts do not free it. COM
// objects are released through Release, never deleted through the interface,
// so the interface's destructor is not virtual.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class MemoryStream final : public ISequentialStream {
 public:
  explicit MemoryStream(const std::string& bytes) : bytes_(bytes) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(ISequentialStream)) {
      *object = static_cast<ISequentialStream*>(this);
      return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG size, ULONG* read) override {
    const size_t n = std::min<size_t>(size, bytes_.size() - position_);
    std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += n;
    if (read) *read = static_cast<ULONG>(n);
    return n < size ? S_FALSE : S_OK;
  }
  HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }

 private:
  const std::string& bytes_;
  size_t position_ = 0;
};
#pragma GCC diagnostic pop

using CreateXmlReaderFunction = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);

// XmlLite's CreateXmlReader, from the system's xmllite.dll (loaded once, by
// its full path in the system folder).
CreateXmlReaderFunction XmlReaderFactory() {
  static CreateXmlReaderFunction factory = [] {
    wchar_t folder[MAX_PATH];
    const UINT n = GetSystemDirectoryW(folder, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return CreateXmlReaderFunction(nullptr);
    HMODULE module = LoadLibraryW((std::wstring(folder, n) + L"\\xmllite.dll").c_str());
    if (module == nullptr) return CreateXmlReaderFunction(nullptr);
    return reinterpret_cast<CreateXmlReaderFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "CreateXmlReader")));
  }();
  return factory;
}

std::optional<bool> Boolean(const std::string& text) {
  if (EqualsIgnoringAsciiCase(text, "true")) return true;
  if (EqualsIgnoringAsciiCase(text, "false")) return false;
  return std::nullopt;
}

using Attributes = std::map<std::string, std::string>;

std::string Get(const Attributes& attributes, const char* name) {
  const auto found = attributes.find(name);
  return found == attributes.end() ? std::string() : found->second;
}

// A location path names the global configuration when it is empty or ".",
// else a site (or an application below it).
std::string NormalLocation(std::string path) {
  while (!path.empty() && (path.back() == '/' || path.back() == '\\')) path.pop_back();
  return path == "." ? std::string() : path;
}

// One step of a collection: add, remove (by name) or clear, in document order.
struct Edit {
  enum Kind { kAdd, kRemove, kClear } kind;
  FilterEntry entry;  // kAdd: the entry; kRemove: its name
};

void Apply(std::vector<FilterEntry>& entries, const Edit& edit) {
  if (edit.kind == Edit::kClear) {
    entries.clear();
    return;
  }
  // Names are unique in a collection; an add of a name already there
  // replaces it (IIS refuses such a file), a remove drops it.
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (EqualsIgnoringAsciiCase(it->name, edit.entry.name)) {
      entries.erase(it);
      break;
    }
  }
  if (edit.kind == Edit::kAdd) entries.push_back(edit.entry);
}

bool Contains(const std::vector<FilterEntry>& entries, const char* name) {
  for (const FilterEntry& entry : entries)
    if (EqualsIgnoringAsciiCase(entry.name, name)) return true;
  return false;
}

// Walks the elements of the document and builds the model. `path` holds the
// element names below <configuration> (and below a <location>).
class ConfigBuilder {
 public:
  explicit ConfigBuilder(ServerConfig& config) : config_(config) {}

  void Element(const std::vector<std::string>& path, const std::string& location,
               const Attributes& attributes) {
    const size_t depth = path.size();
    const std::string& name = path.back();
    auto is = [&](std::initializer_list<const char*> names) {
      if (names.size() != depth) return false;
      size_t i = 0;
      for (const char* n : names)
        if (path[i++] != n) return false;
      return true;
    };
    if (depth == 3 && path[0] == "system.webServer" &&
        (path[1] == "isapiFilters" || path[1] == "globalModules" || path[1] == "modules")) {
      // isapiFilters adds with <filter>, the module lists with <add>.
      const char* add = path[1] == "isapiFilters" ? "filter" : "add";
      if (name != add && name != "remove" && name != "clear") return;
      Edit edit{name == add ? Edit::kAdd : name == "remove" ? Edit::kRemove : Edit::kClear, {}};
      edit.entry.name = Get(attributes, "name");
      if (path[1] == "isapiFilters") {
        edit.entry.path = Get(attributes, "path");
        edit.entry.expandedPath = ExpandVariables(edit.entry.path);
        edit.entry.enabled = Boolean(Get(attributes, "enabled")).value_or(true);
        edit.entry.enableCache = Boolean(Get(attributes, "enableCache")).value_or(false);
        edit.entry.preCondition = Get(attributes, "preCondition");
        edit.entry.location = location;
        filterEdits_[location].push_back(edit);
      } else if (location.empty()) {
        Apply(path[1] == "modules" ? modules_ : globalModules_, edit);
      }
      return;
    }
    if (!location.empty()) return;  // the rest is read from the global configuration
    if (is({"system.applicationHost", "sites", "site"})) {
      config_.sites.push_back({});
      config_.sites.back().name = Get(attributes, "name");
      inRootApplication_ = false;
    } else if (is({"system.applicationHost", "sites", "applicationDefaults"})) {
      config_.defaultPool = Get(attributes, "applicationPool");
    } else if (is({"system.applicationHost", "sites", "site", "applicationDefaults"}) &&
               !config_.sites.empty()) {
      config_.sites.back().defaultPool = Get(attributes, "applicationPool");
    } else if (is({"system.applicationHost", "sites", "site", "application"}) &&
               !config_.sites.empty()) {
      Application app{Get(attributes, "path"), Get(attributes, "applicationPool")};
      inRootApplication_ = NormalLocation(app.path).empty();
      config_.sites.back().applications.push_back(app);
    } else if (is({"system.applicationHost", "sites", "site", "application", "virtualDirectory"}) &&
               !config_.sites.empty() && inRootApplication_ &&
               NormalLocation(Get(attributes, "path")).empty()) {
      config_.sites.back().rootFolder = ExpandVariables(Get(attributes, "physicalPath"));
    } else if (is({"system.applicationHost", "applicationPools", "add"})) {
      config_.pools.push_back({});
      ReadPool(attributes, config_.pools.back());
      currentPool_ = &config_.pools.back();
    } else if (is({"system.applicationHost", "applicationPools", "applicationPoolDefaults"})) {
      ReadPool(attributes, config_.poolDefaults);
      currentPool_ = &config_.poolDefaults;
    } else if (depth == 4 && path[1] == "applicationPools" && name == "processModel" &&
               currentPool_ != nullptr) {
      if (auto v = Boolean(Get(attributes, "loadUserProfile"))) currentPool_->loadUserProfile = v;
      if (attributes.count("identityType"))
        currentPool_->identityType = Get(attributes, "identityType");
      if (attributes.count("userName")) currentPool_->userName = Get(attributes, "userName");
    }
  }

  void Finish() {
    config_.moduleInGlobalModules = Contains(globalModules_, "IsapiFilterModule");
    config_.moduleInModules = Contains(modules_, "IsapiFilterModule");
    std::vector<FilterEntry> global;
    for (const Edit& edit : filterEdits_[""]) Apply(global, edit);
    for (Site& site : config_.sites) {
      site.filters = global;
      for (const auto& [location, edits] : filterEdits_) {
        if (location.empty() || !EqualsIgnoringAsciiCase(location, site.name)) continue;
        for (const Edit& edit : edits) Apply(site.filters, edit);
      }
    }
  }

 private:
  static void ReadPool(const Attributes& attributes, Pool& pool) {
    pool.name = Get(attributes, "name");
    pool.enable32BitAppOnWin64 = Boolean(Get(attributes, "enable32BitAppOnWin64"));
  }

  ServerConfig& config_;
  std::vector<FilterEntry> globalModules_, modules_;
  std::map<std::string, std::vector<Edit>> filterEdits_;  // by location
  bool inRootApplication_ = false;
  Pool* currentPool_ = nullptr;  // pools are not added to while one is read
};

std::string Utf8(const wchar_t* text, UINT length) {
  return text ? Narrow(std::wstring(text, length)) : std::string();
}

std::string ParseError(IXmlReader* reader, HRESULT result) {
  UINT line = 0, column = 0;
  reader->GetLineNumber(&line);
  reader->GetLinePosition(&column);
  char text[120];
  std::snprintf(text, sizeof text, "not XML (XmlLite error 0x%08lX at line %u, column %u)",
                static_cast<unsigned long>(result), line, column);
  return text;
}

}  // namespace

std::string DefaultConfigPath() {
  return ExpandVariables("%windir%\\System32\\inetsrv\\config\\applicationHost.config");
}

std::string ParseServerConfig(const std::string& document, ServerConfig& config) {
  const CreateXmlReaderFunction create = XmlReaderFactory();
  if (create == nullptr) return "XmlLite (xmllite.dll) is not available";
  IXmlReader* reader = nullptr;
  HRESULT result = create(__uuidof(IXmlReader), reinterpret_cast<void**>(&reader), nullptr);
  if (FAILED(result)) return "XmlLite cannot start (" + WindowsErrorText(result) + ")";
  MemoryStream stream(document);
  reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit);
  result = reader->SetInput(&stream);

  config = ServerConfig();
  ConfigBuilder builder(config);
  std::vector<std::string> stack;  // every open element's name, <configuration> first
  std::vector<std::string> path;   // the names below <configuration> and any <location>
  std::string location;
  size_t locationDepth = 0;  // stack size at the <location> element, 0 outside one
  std::string error;
  bool sawRoot = false;
  XmlNodeType type;
  while (SUCCEEDED(result) && (result = reader->Read(&type)) == S_OK) {
    if (type == XmlNodeType_Element) {
      const wchar_t* name = nullptr;
      UINT length = 0;
      reader->GetLocalName(&name, &length);
      const std::string element = Utf8(name, length);
      const bool empty = reader->IsEmptyElement();
      Attributes attributes;
      for (HRESULT more = reader->MoveToFirstAttribute(); more == S_OK;
           more = reader->MoveToNextAttribute()) {
        const wchar_t *attribute = nullptr, *value = nullptr;
        UINT attributeLength = 0, valueLength = 0;
        reader->GetLocalName(&attribute, &attributeLength);
        reader->GetValue(&value, &valueLength);
        attributes[Utf8(attribute, attributeLength)] = Utf8(value, valueLength);
      }
      if (stack.empty()) {
        if (sawRoot || element != "configuration") {
          error = "its root element is <" + element + ">, not <configuration>";
          break;
        }
        sawRoot = true;
      }
      stack.push_back(element);
      bool isLocation = stack.size() == 2 && element == "location";
      if (isLocation) {
        location = NormalLocation(Get(attributes, "path"));
        locationDepth = stack.size();
      } else if (stack.size() > 1) {
        path.push_back(element);
        builder.Element(path, location, attributes);
      }
      if (empty) {
        type = XmlNodeType_EndElement;  // an empty element ends where it starts
      } else {
        continue;
      }
    }
    if (type == XmlNodeType_EndElement && !stack.empty()) {
      if (stack.size() == locationDepth) {
        location.clear();
        locationDepth = 0;
      } else if (stack.size() > 1 && !path.empty()) {
        path.pop_back();
      }
      stack.pop_back();
    }
  }
  if (error.empty() && FAILED(result)) error = ParseError(reader, result);
  if (error.empty() && !sawRoot) error = "it holds no element";
  reader->Release();
  if (!error.empty()) return error;
  builder.Finish();
  return "";
}

std::string ReadServerConfig(const std::string& path, ServerConfig& config) {
  std::string document;
  if (std::string error = ReadWholeFile(path, document); !error.empty()) return error;
  return ParseServerConfig(document, config);
}

}  // namespace refwarden::doctor
