#include <gtest/gtest.h>

#include "excpack/global_exc_pkg_types.h"
#include "fake_exc_system.h"

namespace ostrel::excpack {
namespace {

class PackageTest : public fakes::ExcPkgTest {
 protected:
  std::unique_ptr<TExceptionPack> filledPack() {
    auto pack = TExceptionPack::Create();
    TErrorInfo* e = pack->ErrorInfo();
    e->CurrentThreadId = 420;
    e->ExceptionCode = "$C0000005";
    e->ErrorMessage = "Fatal exception occurred!";
    e->ErrorAddress = 0x0040A1B2;
    e->OffsetBase = 0x00401000;
    for (std::size_t i = 0; i < e->Registers.size(); ++i) e->Registers[i] = uint8_t(i);
    e->AddCallStackItem(0x00401234);
    e->AddCallStackItem(0x80000000);
    pack->VerInfo()->Set(TVerInfo::fProductName, "Ostrel");
    pack->VerInfo()->Set(TVerInfo::fProductVersion, "1.0");
    return pack;
  }

  static std::string registerLines() {
    static const char* hex = "0123456789ABCDEF";
    std::string out = "    Registers = {";
    for (int i = 0; i < 204; ++i) {
      if (i % 32 == 0) out += "\r\n      ";
      out += hex[i >> 4];
      out += hex[i & 15];
    }
    return out + "}\r\n";
  }
};

TEST_F(PackageTest, BuildingConstructorMakesFourPartsInOrder) {
  auto pack = TExceptionPack::Create();
  ASSERT_EQ(pack->ComponentCount(), 4);
  EXPECT_EQ(pack->Components(0)->ClassName(), "TAppInfo");
  EXPECT_EQ(pack->Components(1)->ClassName(), "TErrorInfo");
  EXPECT_EQ(pack->Components(2)->ClassName(), "TEnvInfo");
  EXPECT_EQ(pack->Components(3)->ClassName(), "TVerInfo");
  EXPECT_EQ(pack->ErrorInfo()->ComponentCount(), 1);
  EXPECT_NE(pack->ErrorInfo()->CallStack(), nullptr);
  EXPECT_EQ(pack->AppInfo()->Owner(), pack.get());
  // The plain constructor makes none.
  TExceptionPack plain;
  EXPECT_EQ(plain.ComponentCount(), 0);
  EXPECT_EQ(plain.AppInfo(), nullptr);
  EXPECT_EQ(plain.ErrorInfo(), nullptr);
}

TEST_F(PackageTest, WritesTheDocumentedLayout) {
  auto pack = filledPack();
  const std::string expected =
      "object TExceptionPack\r\n"
      "  object TAppInfo\r\n"
      "    ApplicationName = 'C:\\Apps\\sample.exe'\r\n"
      "    ApplicationSize = 123456\r\n"
      "    ApplicationDate = '30.11.2026 09:08:07'\r\n"
      "  end\r\n"
      "  object TErrorInfo\r\n"
      "    MainThreadId = 0\r\n"
      "    CurrentThreadId = 420\r\n"
      "    TimeStamp = '06.12.2026 18:05:27'\r\n"
      "    ErrorCode = 0\r\n"
      "    ExceptionCode = '$C0000005'\r\n"
      "    ErrorMessage = 'Fatal exception occurred!'\r\n"
      "    ErrorAddress = 4235698\r\n"
      "    OffsetBase = 4198400\r\n" +
      registerLines() +
      "    object TCallStackItems\r\n"
      "      object TCallStackItem\r\n"
      "        OperationPoint = 4198964\r\n"
      "      end\r\n"
      "      object TCallStackItem\r\n"
      "        OperationPoint = -2147483648\r\n"
      "      end\r\n"
      "    end\r\n"
      "  end\r\n"
      "  object TEnvInfo\r\n"
      "    ComputerName = 'BENCH01'\r\n"
      "    UserName = 'tester'\r\n"
      "    OSVersion = 'Platform: Windows NT 6.1 Build: 7601'\r\n"
      "  end\r\n"
      "  object TVerInfo\r\n"
      "    ProductName = 'Ostrel'\r\n"
      "    ProductVersion = '1.0'\r\n"
      "  end\r\n"
      "end\r\n";
  EXPECT_EQ(ComponentToString(*pack), expected);
}

TEST_F(PackageTest, RoundTripKeepsEveryValue) {
  auto pack = filledPack();
  TErrorInfo* e = pack->ErrorInfo();
  e->ErrorCode = -5;
  e->MainThreadId = 0xFFFFFFFF;
  e->ErrorAddress = 0x80000000;  // the "no default" marker must still be written
  e->ErrorMessage = "Access violation at address 0040A1B2 in module 'x.exe'.\r\nRead of 00000000";
  pack->AppInfo()->SetApplicationName("C:\\" + std::string(150, 'd') + "\\it's.exe");
  pack->VerInfo()->Set(TVerInfo::fPrivateBuild, "private");
  const std::string text = ComponentToString(*pack);

  auto read = StringToComponent(text);
  auto* back = dynamic_cast<TExceptionPack*>(read.get());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->Owner(), nullptr);
  TErrorInfo* be = back->ErrorInfo();
  ASSERT_NE(be, nullptr);
  EXPECT_EQ(be->ErrorCode, -5);
  EXPECT_EQ(be->MainThreadId, 0xFFFFFFFFu);
  EXPECT_EQ(be->ErrorAddress, 0x80000000u);
  EXPECT_EQ(be->CurrentThreadId, 420u);
  EXPECT_EQ(be->OffsetBase, 0x00401000u);
  EXPECT_EQ(be->ErrorMessage, e->ErrorMessage);
  EXPECT_EQ(be->Registers, e->Registers);
  ASSERT_EQ(be->CallStackCount(), 2);
  EXPECT_EQ(be->CallStackItem(0)->OperationPoint, 0x00401234u);
  EXPECT_EQ(be->CallStackItem(1)->OperationPoint, 0x80000000u);
  EXPECT_EQ(be->CallStackItem(2), nullptr);
  EXPECT_EQ(back->AppInfo()->ApplicationName(), pack->AppInfo()->ApplicationName());
  EXPECT_EQ(back->VerInfo()->PrivateBuild(), "private");
  EXPECT_EQ(ComponentToString(*back), text);
}

TEST_F(PackageTest, ReadPackageHoldsExactlyTheStreamedParts) {
  auto pack = filledPack();
  auto read = StringToComponent(ComponentToString(*pack));
  auto* back = dynamic_cast<TExceptionPack*>(read.get());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->ComponentCount(), 4);
  EXPECT_EQ(back->ErrorInfo()->ComponentCount(), 1);  // one container, not an extra empty one

  auto partial =
      StringToComponent("object TExceptionPack\r\n  object TEnvInfo\r\n  end\r\nend\r\n");
  auto* p = dynamic_cast<TExceptionPack*>(partial.get());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->ComponentCount(), 1);
  EXPECT_EQ(p->AppInfo(), nullptr);
  EXPECT_EQ(p->ErrorInfo(), nullptr);
}

TEST_F(PackageTest, ReadPackageKeepsStoredTextsAndFetchesMissingOnes) {
  auto read = StringToComponent(
      "object TExceptionPack\r\n"
      "  object TErrorInfo\r\n"
      "    TimeStamp = '01.01.2020 00:00:01'\r\n"
      "  end\r\n"
      "  object TEnvInfo\r\n"
      "    UserName = 'stored'\r\n"
      "  end\r\n"
      "end\r\n");
  auto* p = dynamic_cast<TExceptionPack*>(read.get());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->ErrorInfo()->TimeStamp(), "01.01.2020 00:00:01");
  EXPECT_EQ(p->EnvInfo()->UserName(), "stored");
  EXPECT_EQ(system.userQueries, 0);
  EXPECT_EQ(p->EnvInfo()->ComputerName(), "BENCH01");  // missing: from the running system
  EXPECT_EQ(p->ErrorInfo()->CallStackCount(), 0);
}

// A crafted log may put other classes around and inside the container: the first container
// is the call stack, and an index that holds no item gives none. The container stays right
// while the error part's children change.
TEST_F(PackageTest, CallStackOfACraftedErrorPart) {
  TErrorInfo e;
  e.CreateOwned<TCallStackItem>();
  e.CreateOwned<TAppInfo>();
  TCallStackItems* first = e.CreateOwned<TCallStackItems>();
  first->CreateOwned<TCallStackItem>()->OperationPoint = 1;
  first->CreateOwned<TEnvInfo>();
  first->CreateOwned<TCallStackItem>()->OperationPoint = 3;
  e.CreateOwned<TCallStackItems>()->CreateOwned<TCallStackItem>()->OperationPoint = 99;
  ASSERT_EQ(e.CallStack(), first);
  ASSERT_EQ(e.CallStackCount(), 3);
  EXPECT_EQ(e.CallStackItem(0)->OperationPoint, 1u);
  EXPECT_EQ(e.CallStackItem(1), nullptr);
  EXPECT_EQ(e.CallStackItem(2)->OperationPoint, 3u);
  EXPECT_EQ(e.CallStackItem(3), nullptr);

  e.RemoveAndFree(e.Components(0));  // not a container: the call stack stays
  e.RemoveAndFree(first);            // the next container takes its place
  ASSERT_EQ(e.CallStackCount(), 1);
  EXPECT_EQ(e.CallStackItem(0)->OperationPoint, 99u);
  e.ClearChildren();
  EXPECT_EQ(e.CallStack(), nullptr);
  TCallStackItem* added = e.AddCallStackItem(5);
  EXPECT_EQ(e.CallStackItem(0), added);
}

TEST_F(PackageTest, EmptyTextsAreNotWrittenAndStayEmptyWhenRead) {
  auto pack = TExceptionPack::Create();
  pack->VerInfo()->Set(TVerInfo::fComments, "");
  const std::string text = ComponentToString(*pack);
  EXPECT_EQ(text.find("Comments"), std::string::npos);
  EXPECT_EQ(text.find("ExceptionCode"), std::string::npos);
  EXPECT_NE(text.find("ErrorCode = 0"), std::string::npos);
}

TEST_F(PackageTest, PartSettersReplaceEveryPartOfTheirClass) {
  TExceptionPack pack;
  pack.CreateOwned<TAppInfo>()->SetApplicationName("first");
  pack.CreateOwned<TEnvInfo>();
  pack.CreateOwned<TAppInfo>()->SetApplicationName("second");
  EXPECT_EQ(pack.AppInfo()->ApplicationName(), "first");
  pack.SetAppInfo(nullptr);
  EXPECT_EQ(pack.ComponentCount(), 3);
  auto replacement = std::make_unique<TAppInfo>();
  replacement->SetApplicationName("new");
  pack.SetAppInfo(std::move(replacement));
  ASSERT_EQ(pack.ComponentCount(), 2);
  EXPECT_EQ(pack.Components(0)->ClassName(), "TEnvInfo");
  EXPECT_EQ(pack.AppInfo()->ApplicationName(), "new");
  EXPECT_EQ(pack.AppInfo()->Owner(), &pack);
  pack.ClearChildren();
  EXPECT_EQ(pack.ComponentCount(), 0);
}

TEST_F(PackageTest, LazyGettersAndFallbacks) {
  TEnvInfo env;
  system.user.reset();
  system.computer.reset();
  system.os = OsVersionInfo{7, 10, 0, 19045};
  EXPECT_EQ(env.UserName(), "Unknown");
  EXPECT_EQ(env.ComputerName(), "");
  system.computer = "LATER";
  EXPECT_EQ(env.ComputerName(), "LATER");  // an empty result is tried again
  EXPECT_EQ(env.OSVersion(), "Platform:  10.0 Build: 19045");
  EXPECT_EQ(osVersionText(1, 4, 10, 2222), "Platform: Windows 95 4.10 Build: 2222");
  EXPECT_EQ(osVersionText(0, 3, 1, 0), "Platform: Windows 3x 3.1 Build: 0");
  system.user = "u";
  EXPECT_EQ(TEnvInfo::get_User_Name(), "u");

  TAppInfo app;
  system.size.reset();
  system.modified.reset();
  EXPECT_EQ(app.ApplicationSize(), 0u);
  ASSERT_EQ(system.errors.size(), 1u);
  EXPECT_EQ(system.errors[0], "TAppInfo: Cannot open C:\\Apps\\sample.exe file!");
  EXPECT_EQ(app.ApplicationDate(), "");
  system.size = 77;
  EXPECT_EQ(app.ApplicationSize(), 77u);
  system.size = 88;
  EXPECT_EQ(app.ApplicationSize(), 77u);  // cached once non-zero

  TErrorInfo error;
  EXPECT_EQ(error.TimeStamp(), "06.12.2026 18:05:27");
  system.clock.second = 59;
  EXPECT_EQ(error.TimeStamp(), "06.12.2026 18:05:27");
}

TEST_F(PackageTest, StreamingReaderSkipsMisfitsButNotSyntaxOrClassErrors) {
  auto read = StringToComponent(
      "object TErrorInfo\r\n"
      "  Unknown = 5\r\n"
      "  ErrorCode = 'text'\r\n"
      "  MainThreadId = 4294967296\r\n"
      "  CurrentThreadId = 9\r\n"
      "  Registers = {0102}\r\n"
      "end\r\n");
  auto* e = dynamic_cast<TErrorInfo*>(read.get());
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->ErrorCode, 0);
  EXPECT_EQ(e->MainThreadId, 0u);
  EXPECT_EQ(e->CurrentThreadId, 9u);
  EXPECT_EQ(e->Registers, RegisterBytes{});
  EXPECT_THROW(StringToComponent("object TNothing\r\nend\r\n"), std::runtime_error);
  EXPECT_THROW(StringToComponent("object TExceptionPack\r\n  object TForm\r\n  end\r\nend"),
               std::runtime_error);
  EXPECT_THROW(StringToComponent("object TExceptionPack\r\n"), ComponentTextError);
  EXPECT_NE(StringToComponent("object tcallstackitem\r\nend"), nullptr);  // any case
}

TEST_F(PackageTest, RegistryHoldsTheEightClasses) {
  for (const char* name : {"TBaseExceptionPack", "TExceptionPack", "TAppInfo", "TEnvInfo",
                           "TVerInfo", "TErrorInfo", "TCallStackItems", "TCallStackItem"}) {
    auto c = CreateRegisteredComponent(name);
    ASSERT_NE(c, nullptr) << name;
    EXPECT_EQ(c->ClassName(), name);
    EXPECT_EQ(c->ComponentCount(), 0);
  }
  EXPECT_FALSE(IsClassRegistered("TrpVersionInfo"));
  ASSERT_NE(ExcPkgVersionInfo(), nullptr);
}

}  // namespace
}  // namespace ostrel::excpack
