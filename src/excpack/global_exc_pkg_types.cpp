#include "excpack/global_exc_pkg_types.h"

#include <cctype>
#include <cstdio>
#include <functional>
#include <stdexcept>
#include <utility>

#include "common/format.h"
#include "excpack/exc_pkg_system.h"

namespace ostrel::excpack {

namespace {

// Every integer property is written; the 0x80000000 "no default" marker is not a reason
// to leave one out, or that value would read back as 0.
void addInteger(std::vector<TextProperty>& props, const char* name, int64_t value) {
  props.push_back({name, TextValue::makeInteger(value)});
}

void addText(std::vector<TextProperty>& props, const char* name, const std::string& value) {
  if (!value.empty()) props.push_back({name, TextValue::makeString(value)});
}

bool readText(const TextProperty& prop, std::string& field) {
  if (prop.value.kind != TextValue::Kind::String) return false;
  field = prop.value.text;
  return true;
}

bool readU32(const TextProperty& prop, uint32_t& field) {
  if (prop.value.kind != TextValue::Kind::Integer || prop.value.integer < INT32_MIN ||
      prop.value.integer > int64_t(UINT32_MAX))
    return false;
  field = static_cast<uint32_t>(prop.value.integer);
  return true;
}

bool readI32(const TextProperty& prop, int32_t& field) {
  if (prop.value.kind != TextValue::Kind::Integer || prop.value.integer < INT32_MIN ||
      prop.value.integer > INT32_MAX)
    return false;
  field = static_cast<int32_t>(prop.value.integer);
  return true;
}

using Factory = std::function<std::unique_ptr<TComponent>()>;

std::vector<std::pair<std::string, Factory>>& registry() {
  static std::vector<std::pair<std::string, Factory>> classes;
  return classes;
}

template <typename T>
void registerClass(std::string_view name) {
  if (IsClassRegistered(name)) return;
  registry().emplace_back(std::string(name), [] { return std::make_unique<T>(); });
}

std::unique_ptr<TrpVersionInfo>& programVersionInfo() {
  static std::unique_ptr<TrpVersionInfo> info;
  return info;
}

TextObject toTextObject(TComponent& c) {
  TextObject obj;
  obj.name = c.Name;
  obj.className = std::string(c.ClassName());
  c.WriteProperties(obj.properties);
  if (c.StreamsChildren())
    for (int i = 0; i < c.ComponentCount(); ++i)
      obj.children.push_back(toTextObject(*c.Components(i)));
  return obj;
}

std::unique_ptr<TComponent> createOrThrow(const std::string& className) {
  auto c = CreateRegisteredComponent(className);
  if (!c) throw std::runtime_error("Class " + className + " not found");
  return c;
}

void readInto(TComponent& c, const TextObject& obj) {
  c.Name = obj.name;
  for (const auto& prop : obj.properties) c.ReadProperty(prop);  // misfits are skipped
  for (const auto& childText : obj.children) {
    auto child = createOrThrow(childText.className);
    TComponent* placed = child.get();
    if (c.StreamsChildren()) c.InsertComponent(std::move(child));
    readInto(*placed, childText);
    // A child of a component that does not own its children is read and dropped.
  }
}

}  // namespace

// --- TBaseExceptionPack -------------------------------------------------------------------

void TBaseExceptionPack::RemoveAndFree(TComponent* component) {
  auto owned = RemoveComponent(component);
  owned.reset();
}

void TBaseExceptionPack::ClearChildren() {
  for (int i = ComponentCount(); i-- > 0;) RemoveAndFree(Components(i));
}

// --- TExceptionPack -----------------------------------------------------------------------

std::unique_ptr<TExceptionPack> TExceptionPack::Create() {
  auto pack = std::make_unique<TExceptionPack>();
  pack->CreateOwned<TAppInfo>();
  pack->CreateOwned<TErrorInfo>()->CreateOwned<TCallStackItems>();
  pack->CreateOwned<TEnvInfo>();
  pack->CreateOwned<TVerInfo>();
  return pack;
}

TAppInfo* TExceptionPack::AppInfo() const { return firstOwned<TAppInfo>(); }
TVerInfo* TExceptionPack::VerInfo() const { return firstOwned<TVerInfo>(); }
TEnvInfo* TExceptionPack::EnvInfo() const { return firstOwned<TEnvInfo>(); }
TErrorInfo* TExceptionPack::ErrorInfo() const { return firstOwned<TErrorInfo>(); }
void TExceptionPack::SetAppInfo(std::unique_ptr<TAppInfo> v) { replaceOwned(std::move(v)); }
void TExceptionPack::SetVerInfo(std::unique_ptr<TVerInfo> v) { replaceOwned(std::move(v)); }
void TExceptionPack::SetEnvInfo(std::unique_ptr<TEnvInfo> v) { replaceOwned(std::move(v)); }
void TExceptionPack::SetErrorInfo(std::unique_ptr<TErrorInfo> v) { replaceOwned(std::move(v)); }

// --- TAppInfo -----------------------------------------------------------------------------

std::string TAppInfo::ApplicationName() {
  if (applicationName_.empty() && !described_) applicationName_ = getExcPkgSystem().exePath();
  return applicationName_;
}

uint32_t TAppInfo::ApplicationSize() {
  if (applicationSize_ != 0 || described_) return applicationSize_;
  ExcPkgSystem& system = getExcPkgSystem();
  const std::string path = system.exePath();
  auto size = system.fileSize(path);
  if (!size) {
    system.showError("TAppInfo: Cannot open " + path + " file!");
    return 0;
  }
  applicationSize_ = *size;
  sizeHeld_ = true;
  return applicationSize_;
}

std::string TAppInfo::ApplicationDate() {
  if (applicationDate_.empty() && !described_) {
    ExcPkgSystem& system = getExcPkgSystem();
    if (auto t = system.fileTime(system.exePath())) applicationDate_ = dateTimeText(*t);
  }
  return applicationDate_;
}

void TAppInfo::Describe(const std::string& path) {
  ExcPkgSystem& system = getExcPkgSystem();
  described_ = true;
  applicationName_ = path;
  applicationSize_ = system.fileSize(path).value_or(0);
  sizeHeld_ = true;  // written to the log as it is, 0 when unreadable
  auto time = system.fileTime(path);
  applicationDate_ = time ? dateTimeText(*time) : std::string();
}

std::optional<uint32_t> TAppInfo::StoredApplicationSize() const {
  if (!sizeHeld_) return std::nullopt;
  return applicationSize_;
}

void TAppInfo::WriteProperties(std::vector<TextProperty>& props) {
  addText(props, "ApplicationName", ApplicationName());
  addInteger(props, "ApplicationSize", int32_t(ApplicationSize()));
  addText(props, "ApplicationDate", ApplicationDate());
}

bool TAppInfo::ReadProperty(const TextProperty& prop) {
  if (prop.name == "ApplicationName") return readText(prop, applicationName_);
  if (prop.name == "ApplicationSize") {
    if (!readU32(prop, applicationSize_)) return false;
    sizeHeld_ = true;
    return true;
  }
  if (prop.name == "ApplicationDate") return readText(prop, applicationDate_);
  return TBaseExceptionPack::ReadProperty(prop);
}

// --- TEnvInfo -----------------------------------------------------------------------------

std::string osVersionText(uint32_t platformId, uint32_t major, uint32_t minor, uint32_t build) {
  const char* platform = platformId == 0   ? "Windows 3x"
                         : platformId == 1 ? "Windows 95"
                         : platformId == 2 ? "Windows NT"
                                           : "";
  char buf[96];
  std::snprintf(buf, sizeof buf, "Platform: %s %d.%d Build: %d", platform, int(major), int(minor),
                int(build));
  return buf;
}

std::string TEnvInfo::ComputerName() {
  if (computerName_.empty())
    if (auto name = getExcPkgSystem().computerName()) computerName_ = *name;
  return computerName_;
}

std::string TEnvInfo::UserName() {
  if (userName_.empty()) {
    userName_ = "Unknown";
    if (auto name = getExcPkgSystem().userName()) userName_ = *name;
  }
  return userName_;
}

std::string TEnvInfo::OSVersion() {
  if (osVersion_.empty())
    if (auto v = getExcPkgSystem().osVersion())
      osVersion_ = osVersionText(v->platformId, v->major, v->minor, v->build);
  return osVersion_;
}

std::string TEnvInfo::get_User_Name() {
  TEnvInfo temporary;
  return temporary.UserName();
}

void TEnvInfo::WriteProperties(std::vector<TextProperty>& props) {
  addText(props, "ComputerName", ComputerName());
  addText(props, "UserName", UserName());
  addText(props, "OSVersion", OSVersion());
}

bool TEnvInfo::ReadProperty(const TextProperty& prop) {
  if (prop.name == "ComputerName") return readText(prop, computerName_);
  if (prop.name == "UserName") return readText(prop, userName_);
  if (prop.name == "OSVersion") return readText(prop, osVersion_);
  return TBaseExceptionPack::ReadProperty(prop);
}

// --- TVerInfo -----------------------------------------------------------------------------

namespace {
constexpr std::string_view kVerFieldNames[TVerInfo::fFieldCount] = {
    "CompanyName",      "FileDescription", "FileVersion",    "InternalName",
    "OriginalFilename", "ProductName",     "ProductVersion", "LegalCopyright",
    "LegalTrademarks",  "Comments",        "PrivateBuild",   "SpecialBuild"};

std::string readerValue(const TrpVersionInfo& info, TVerInfo::Field f) {
  switch (f) {
    case TVerInfo::fCompanyName:
      return info.CompanyName();
    case TVerInfo::fFileDescription:
      return info.FileDescription();
    case TVerInfo::fFileVersion:
      return info.FileVersion();
    case TVerInfo::fInternalName:
      return info.InternalName();
    case TVerInfo::fOriginalFilename:
      return info.OriginalFileName();
    case TVerInfo::fProductName:
      return info.ProductName();
    case TVerInfo::fProductVersion:
      return info.ProductVersion();
    case TVerInfo::fLegalCopyright:
      return info.LegalCopyright();
    case TVerInfo::fLegalTrademarks:
      return info.LegalTradeMarks();
    case TVerInfo::fComments:
      return info.Comments();
    default:
      return {};
  }
}
}  // namespace

std::string_view TVerInfo::FieldName(Field f) {
  return f >= 0 && f < fFieldCount ? kVerFieldNames[f] : std::string_view();
}

std::string TVerInfo::Get(Field f) {
  if (f < 0 || f >= fFieldCount) return {};
  std::string& v = values_[std::size_t(f)];
  if (v.empty() && f < fPrivateBuild && !assigned_)
    if (const TrpVersionInfo* info = ExcPkgVersionInfo()) v = readerValue(*info, f);
  return v;
}

std::string TVerInfo::Stored(Field f) const {
  return f >= 0 && f < fFieldCount ? values_[std::size_t(f)] : std::string();
}

void TVerInfo::Set(Field f, std::string v) {
  if (f >= 0 && f < fFieldCount) values_[std::size_t(f)] = std::move(v);
}

void TVerInfo::Assign(const TrpVersionInfo& source) {
  assigned_ = true;
  for (int f = 0; f < fPrivateBuild; ++f) values_[std::size_t(f)] = readerValue(source, Field(f));
}

void TVerInfo::WriteProperties(std::vector<TextProperty>& props) {
  for (int f = 0; f < fFieldCount; ++f) addText(props, kVerFieldNames[f].data(), Get(Field(f)));
}

bool TVerInfo::ReadProperty(const TextProperty& prop) {
  for (int f = 0; f < fFieldCount; ++f)
    if (prop.name == kVerFieldNames[f]) return readText(prop, values_[std::size_t(f)]);
  return TBaseExceptionPack::ReadProperty(prop);
}

// --- TErrorInfo ---------------------------------------------------------------------------

std::string TErrorInfo::TimeStamp() {
  if (timeStamp_.empty()) timeStamp_ = dateTimeText(getExcPkgSystem().now());
  return timeStamp_;
}

TCallStackItem* TErrorInfo::AddCallStackItem(uint32_t operationPoint) {
  TCallStackItems* items = CallStack();
  if (items == nullptr) items = CreateOwned<TCallStackItems>();
  auto* item = items->CreateOwned<TCallStackItem>();
  item->OperationPoint = operationPoint;
  return item;
}

TCallStackItem* TErrorInfo::CallStackItem(int index) const {
  return callStack_ == nullptr ? nullptr
                               : dynamic_cast<TCallStackItem*>(callStack_->Components(index));
}

int TErrorInfo::CallStackCount() const {
  return callStack_ == nullptr ? 0 : callStack_->ComponentCount();
}

int TErrorInfo::CallStackItemCount() const {
  int items = 0;
  for (int i = 0; i < CallStackCount(); ++i)
    if (CallStackItem(i) != nullptr) ++items;
  return items;
}

void TErrorInfo::Notification(TComponent* component, TOperation operation) {
  TBaseExceptionPack::Notification(component, operation);
  if (operation == TOperation::opInsert) {
    // Components join at the end: a new container is the first only when none is held.
    if (callStack_ == nullptr) callStack_ = dynamic_cast<TCallStackItems*>(component);
  } else if (component == callStack_) {
    callStack_ = firstOwned<TCallStackItems>();
  }
}

void TErrorInfo::WriteProperties(std::vector<TextProperty>& props) {
  addInteger(props, "MainThreadId", int32_t(MainThreadId));
  addInteger(props, "CurrentThreadId", int32_t(CurrentThreadId));
  addText(props, "TimeStamp", TimeStamp());
  addInteger(props, "ErrorCode", ErrorCode);
  addText(props, "ExceptionCode", ExceptionCode);
  addText(props, "ErrorMessage", ErrorMessage);
  addInteger(props, "ErrorAddress", int32_t(ErrorAddress));
  addInteger(props, "OffsetBase", int32_t(OffsetBase));
  props.push_back({"Registers", TextValue::makeBinary(
                                    std::vector<uint8_t>(Registers.begin(), Registers.end()))});
}

bool TErrorInfo::ReadProperty(const TextProperty& prop) {
  if (prop.name == "MainThreadId") return readU32(prop, MainThreadId);
  if (prop.name == "CurrentThreadId") return readU32(prop, CurrentThreadId);
  if (prop.name == "TimeStamp") return readText(prop, timeStamp_);
  if (prop.name == "ErrorCode") return readI32(prop, ErrorCode);
  if (prop.name == "ExceptionCode") return readText(prop, ExceptionCode);
  if (prop.name == "ErrorMessage") return readText(prop, ErrorMessage);
  if (prop.name == "ErrorAddress") return readU32(prop, ErrorAddress);
  if (prop.name == "OffsetBase") return readU32(prop, OffsetBase);
  if (prop.name == "Registers") {
    // Exactly one context record; any other size is skipped rather than cut or padded.
    if (prop.value.kind != TextValue::Kind::Binary || prop.value.binary.size() != kRegistersSize)
      return false;
    std::copy(prop.value.binary.begin(), prop.value.binary.end(), Registers.begin());
    return true;
  }
  return TBaseExceptionPack::ReadProperty(prop);
}

// --- TCallStackItem -----------------------------------------------------------------------

void TCallStackItem::WriteProperties(std::vector<TextProperty>& props) {
  addInteger(props, "OperationPoint", int32_t(OperationPoint));
}

bool TCallStackItem::ReadProperty(const TextProperty& prop) {
  if (prop.name == "OperationPoint") return readU32(prop, OperationPoint);
  return TBaseExceptionPack::ReadProperty(prop);
}

// --- registry -----------------------------------------------------------------------------

void ExcPkgStartup() {
  registerClass<TBaseExceptionPack>("TBaseExceptionPack");
  registerClass<TExceptionPack>("TExceptionPack");
  registerClass<TAppInfo>("TAppInfo");
  registerClass<TEnvInfo>("TEnvInfo");
  registerClass<TVerInfo>("TVerInfo");
  registerClass<TErrorInfo>("TErrorInfo");
  registerClass<TCallStackItems>("TCallStackItems");
  registerClass<TCallStackItem>("TCallStackItem");
  if (!programVersionInfo()) programVersionInfo() = std::make_unique<TrpVersionInfo>();
}

void ExcPkgShutdown() { programVersionInfo().reset(); }

TrpVersionInfo* ExcPkgVersionInfo() { return programVersionInfo().get(); }

bool IsClassRegistered(std::string_view className) {
  for (const auto& [name, factory] : registry())
    if (sameText(name, className)) return true;
  return false;
}

std::unique_ptr<TComponent> CreateRegisteredComponent(std::string_view className) {
  for (const auto& [name, factory] : registry())
    if (sameText(name, className)) return factory();
  return nullptr;
}

std::string ComponentToString(TComponent& component) {
  return writeComponentText(toTextObject(component));
}

std::unique_ptr<TComponent> StringToComponent(std::string_view text) {
  const TextObject root = parseComponentText(text);
  auto component = createOrThrow(root.className);
  readInto(*component, root);
  return component;
}

}  // namespace ostrel::excpack
