// The exception package: a small tree of components describing one fatal exception (the
// application, the machine and user, the version block, the error with its registers and
// call stack), streamed as component text.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "excpack/component.h"
#include "excpack/version_info.h"

namespace ostrel::excpack {

inline constexpr std::size_t kRegistersSize = 204;
using RegisterBytes = std::array<uint8_t, kRegistersSize>;

class TAppInfo;
class TEnvInfo;
class TVerInfo;
class TErrorInfo;
class TCallStackItems;
class TCallStackItem;

class TBaseExceptionPack : public TComponent {
 public:
  std::string_view ClassName() const override { return "TBaseExceptionPack"; }
  bool StreamsChildren() const override { return true; }
  /// Takes a component out of the owned list and frees it.
  void RemoveAndFree(TComponent* component);
  /// RemoveAndFree of every owned component, last first.
  void ClearChildren();

 protected:
  template <typename T>
  T* firstOwned() const {
    for (int i = 0; i < ComponentCount(); ++i)
      if (auto* p = dynamic_cast<T*>(Components(i))) return p;
    return nullptr;
  }
  template <typename T>
  void replaceOwned(std::unique_ptr<T> value) {
    if (!value) return;
    for (int i = ComponentCount(); i-- > 0;)
      if (dynamic_cast<T*>(Components(i)) != nullptr) RemoveAndFree(Components(i));
    InsertComponent(std::move(value));
  }
};

class TExceptionPack : public TBaseExceptionPack {
 public:
  /// The plain constructor makes no parts (the streaming reader adds what the text holds).
  TExceptionPack() = default;
  /// The building constructor: application, error (with its call stack container),
  /// environment and version parts, in this order.
  static std::unique_ptr<TExceptionPack> Create();

  std::string_view ClassName() const override { return "TExceptionPack"; }

  /// The first owned part of each class, or nullptr.
  TAppInfo* AppInfo() const;
  TVerInfo* VerInfo() const;
  TEnvInfo* EnvInfo() const;
  TErrorInfo* ErrorInfo() const;
  /// Replace every owned part of the class; an empty value changes nothing.
  void SetAppInfo(std::unique_ptr<TAppInfo> value);
  void SetVerInfo(std::unique_ptr<TVerInfo> value);
  void SetEnvInfo(std::unique_ptr<TEnvInfo> value);
  void SetErrorInfo(std::unique_ptr<TErrorInfo> value);
};

/// Application part. Empty values are fetched from the running program when first read.
class TAppInfo : public TBaseExceptionPack {
 public:
  std::string_view ClassName() const override { return "TAppInfo"; }
  std::string ApplicationName();
  /// Cached when non-zero; 0 (after the error box) when the executable cannot be opened.
  uint32_t ApplicationSize();
  std::string ApplicationDate();
  void SetApplicationName(std::string v) { applicationName_ = std::move(v); }
  void SetApplicationSize(uint32_t v) {
    applicationSize_ = v;
    sizeHeld_ = true;
  }
  void SetApplicationDate(std::string v) { applicationDate_ = std::move(v); }
  /// Describes another program's executable (a debuggee) instead of the running one:
  /// its path, size and date, read now; values that cannot be read stay empty or 0 and
  /// are never replaced by the running program's.
  void Describe(const std::string& path);

  // What the part holds, never fetched (a report of a log shows only the log's values).
  std::string StoredApplicationName() const { return applicationName_; }
  /// nullopt when no size was read from text, set, described or fetched.
  std::optional<uint32_t> StoredApplicationSize() const;
  std::string StoredApplicationDate() const { return applicationDate_; }

  void WriteProperties(std::vector<TextProperty>& props) override;
  bool ReadProperty(const TextProperty& prop) override;

 private:
  bool described_ = false;
  bool sizeHeld_ = false;  // a stored size of 0 is a value, not "none"
  std::string applicationName_;
  uint32_t applicationSize_ = 0;
  std::string applicationDate_;
};

/// Machine and user part.
class TEnvInfo : public TBaseExceptionPack {
 public:
  std::string_view ClassName() const override { return "TEnvInfo"; }
  std::string ComputerName();
  std::string UserName();
  std::string OSVersion();
  void SetComputerName(std::string v) { computerName_ = std::move(v); }
  void SetUserName(std::string v) { userName_ = std::move(v); }
  void SetOSVersion(std::string v) { osVersion_ = std::move(v); }
  /// UserName of a temporary part.
  static std::string get_User_Name();

  // What the part holds (empty when nothing), never fetched.
  std::string StoredComputerName() const { return computerName_; }
  std::string StoredUserName() const { return userName_; }
  std::string StoredOSVersion() const { return osVersion_; }

  void WriteProperties(std::vector<TextProperty>& props) override;
  bool ReadProperty(const TextProperty& prop) override;

 private:
  std::string computerName_;
  std::string userName_;
  std::string osVersion_;
};

/// "Platform: %s %d.%d Build: %d" of an OS version record.
std::string osVersionText(uint32_t platformId, uint32_t major, uint32_t minor, uint32_t build);

/// Version block part: the first ten texts come from the program-wide TrpVersionInfo when
/// empty; PrivateBuild and SpecialBuild are never fetched.
class TVerInfo : public TBaseExceptionPack {
 public:
  enum Field {
    fCompanyName,
    fFileDescription,
    fFileVersion,
    fInternalName,
    fOriginalFilename,
    fProductName,
    fProductVersion,
    fLegalCopyright,
    fLegalTrademarks,
    fComments,
    fPrivateBuild,
    fSpecialBuild,
    fFieldCount
  };
  static std::string_view FieldName(Field f);

  std::string_view ClassName() const override { return "TVerInfo"; }
  std::string Get(Field f);
  /// The value the part holds (empty when nothing), never fetched.
  std::string Stored(Field f) const;
  void Set(Field f, std::string v);
  /// Takes all ten values of a version reader (the debuggee's, for instance); empty ones
  /// then stay empty instead of being fetched from the running program.
  void Assign(const TrpVersionInfo& source);

  std::string CompanyName() { return Get(fCompanyName); }
  std::string FileDescription() { return Get(fFileDescription); }
  std::string FileVersion() { return Get(fFileVersion); }
  std::string InternalName() { return Get(fInternalName); }
  std::string OriginalFilename() { return Get(fOriginalFilename); }
  std::string ProductName() { return Get(fProductName); }
  std::string ProductVersion() { return Get(fProductVersion); }
  std::string LegalCopyright() { return Get(fLegalCopyright); }
  std::string LegalTrademarks() { return Get(fLegalTrademarks); }
  std::string Comments() { return Get(fComments); }
  std::string PrivateBuild() { return Get(fPrivateBuild); }
  std::string SpecialBuild() { return Get(fSpecialBuild); }

  void WriteProperties(std::vector<TextProperty>& props) override;
  bool ReadProperty(const TextProperty& prop) override;

 private:
  bool assigned_ = false;
  std::array<std::string, fFieldCount> values_;
};

/// Error part, with the registers of the faulting thread and the call stack.
class TErrorInfo : public TBaseExceptionPack {
 public:
  std::string_view ClassName() const override { return "TErrorInfo"; }

  uint32_t MainThreadId = 0;
  uint32_t CurrentThreadId = 0;
  int32_t ErrorCode = 0;
  std::string ExceptionCode;
  std::string ErrorMessage;
  uint32_t ErrorAddress = 0;
  uint32_t OffsetBase = 0;
  RegisterBytes Registers{};

  /// Set to the current local time when first read while empty, then kept.
  std::string TimeStamp();
  void SetTimeStamp(std::string v) { timeStamp_ = std::move(v); }
  /// The stored time, never the current one; empty when the part holds none.
  std::string StoredTimeStamp() const { return timeStamp_; }

  /// The first owned container, or nullptr.
  TCallStackItems* CallStack() const { return callStack_; }
  /// Adds an item (making a container when there is none yet).
  TCallStackItem* AddCallStackItem(uint32_t operationPoint);
  /// Item by index; nullptr beyond the count or for a component that is not an item.
  TCallStackItem* CallStackItem(int index) const;
  /// Components of the container, items or not (the bound of CallStackItem's index).
  int CallStackCount() const;
  /// The call stack items alone: the container's components that are items.
  int CallStackItemCount() const;

  void WriteProperties(std::vector<TextProperty>& props) override;
  bool ReadProperty(const TextProperty& prop) override;

 protected:
  void Notification(TComponent* component, TOperation operation) override;

 private:
  std::string timeStamp_;
  // The first owned container, kept up to date on every change of the owned list, so that
  // item access does not search the children (a crafted log may hold very many).
  TCallStackItems* callStack_ = nullptr;
};

class TCallStackItems : public TBaseExceptionPack {
 public:
  std::string_view ClassName() const override { return "TCallStackItems"; }
};

class TCallStackItem : public TBaseExceptionPack {
 public:
  std::string_view ClassName() const override { return "TCallStackItem"; }
  uint32_t OperationPoint = 0;
  void WriteProperties(std::vector<TextProperty>& props) override;
  bool ReadProperty(const TextProperty& prop) override;
};

// --- class registry and start-up ------------------------------------------------------

/// Registers the eight package classes and creates the program-wide version reader.
/// Idempotent.
void ExcPkgStartup();
/// Frees the program-wide version reader (the registry stays).
void ExcPkgShutdown();
/// The program-wide version reader; nullptr before start-up.
TrpVersionInfo* ExcPkgVersionInfo();
/// A new, plain instance of a registered class (name compared without regard to case),
/// or nullptr.
std::unique_ptr<TComponent> CreateRegisteredComponent(std::string_view className);
bool IsClassRegistered(std::string_view className);

// --- component text -------------------------------------------------------------------

/// The component and its streamed children in component text form (CR LF line ends).
std::string ComponentToString(TComponent& component);
/// Reads a root component. Syntax errors and unregistered classes throw (std::runtime_error
/// or ComponentTextError); properties that do not fit are skipped.
std::unique_ptr<TComponent> StringToComponent(std::string_view text);

}  // namespace ostrel::excpack
