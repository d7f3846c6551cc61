#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "case_name.hpp"
#include "context_error.hpp"
#include "gpu/nvml_error.hpp"
#include "support/os_error.hpp"

namespace zorf {
namespace {

using gpu::LibraryError;
using gpu::NvmlError;
using Kind = gpu::NvmlErrorKind;

struct CodeCase {
  std::uint32_t code;
  Kind kind;
  const char* text;
};

class NvmlTry : public testing::TestWithParam<CodeCase> {};

TEST_P(NvmlTry, MapsCodeToKindAndText) {
  const auto result = gpu::nvml_try(GetParam().code);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), GetParam().kind);
  EXPECT_EQ(result.error().display(), GetParam().text);
  EXPECT_FALSE(result.error().cause());
}

const CodeCase kNamedCodes[] = {
    {1, Kind::Uninitialized, "NVML was not first initialized with `Nvml::init()`"},
    {2, Kind::InvalidArg, "a supplied argument was invalid"},
    {3, Kind::NotSupported, "the requested operation is not available on the target device"},
    {4, Kind::NoPermission, "the current user does not have permission to perform this operation"},
    {5, Kind::AlreadyInitialized, "NVML was already initialized"},
    {6, Kind::NotFound, "a query to find an object was unsuccessful"},
    {7, Kind::InsufficientSize, "an input argument is not large enough"},
    {8, Kind::InsufficientPower, "device's external power cables are not properly attached"},
    {9, Kind::DriverNotLoaded, "NVIDIA driver is not loaded"},
    {10, Kind::Timeout, "the provided timeout was reached"},
    {11, Kind::IrqIssue, "NVIDIA kernel detected an interrupt issue with a device"},
    {12, Kind::LibraryNotFound, "a shared library couldn't be found or loaded"},
    {13, Kind::FunctionNotFound, "a function couldn't be found in a shared library"},
    {14, Kind::CorruptedInfoROM, "the infoROM is corrupted"},
    {15, Kind::GpuLost, "device fell off the bus or has otherwise become inacessible"},
    {16, Kind::ResetRequired, "device requires a reset before it can be used again"},
    {17, Kind::OperatingSystem, "device control has been blocked by the operating system/cgroups"},
    {18, Kind::LibRmVersionMismatch, "RM detects a driver/library version mismatch"},
    {19, Kind::InUse, "operation cannot be performed because the GPU is currently in use"},
    {20, Kind::InsufficientMemory, "insufficient memory"},
    {21, Kind::NoData, "no data"},
    {22, Kind::VgpuEccNotSupported,
     "the requested vgpu operation is not available on the target device because ECC is enabled"},
    {999, Kind::Unknown, "an internal driver error occured"},
};
INSTANTIATE_TEST_SUITE_P(Named, NvmlTry, testing::ValuesIn(kNamedCodes));

INSTANTIATE_TEST_SUITE_P(
    Unnamed, NvmlTry,
    testing::Values(CodeCase{23, Kind::UnexpectedVariant, "unexpected enum variant value: 23"},
                    CodeCase{998, Kind::UnexpectedVariant, "unexpected enum variant value: 998"},
                    CodeCase{1000, Kind::UnexpectedVariant, "unexpected enum variant value: 1000"},
                    CodeCase{4294967295u, Kind::UnexpectedVariant,
                             "unexpected enum variant value: 4294967295"}));

TEST(NvmlTryOrder, ZeroIsSuccessAndCodeKindsFollowTheOthersInCodeOrder) {
  EXPECT_TRUE(gpu::nvml_try(0).has_value());
  Kind previous = Kind::UnexpectedVariant;
  for (const CodeCase& c : kNamedCodes) {
    EXPECT_LT(previous, c.kind) << c.code;
    previous = c.kind;
  }
  EXPECT_LT(Kind::Utf8Error, Kind::LibloadingError);
  EXPECT_LT(Kind::LibloadingError, Kind::FailedToLoadSymbol);
  EXPECT_LT(Kind::FailedToLoadSymbol, Kind::UnexpectedVariant);
}

struct ErrorCase {
  const char* name;
  NvmlError error;
  const char* display;
  std::string causes;  // the display texts of the causes below the error
};

class NvmlErrorText : public testing::TestWithParam<ErrorCase> {};

TEST_P(NvmlErrorText, DisplaysMessageAndCauses) {
  const ErrorCase& c = GetParam();
  EXPECT_EQ(c.error.display(), c.display);
  EXPECT_EQ(chain(c.error), c.display + (c.causes.empty() ? "" : ": " + c.causes));
  EXPECT_EQ(chain(c.error.cause()), c.causes);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, NvmlErrorText,
    testing::Values(
        ErrorCase{"SizeGiven", NvmlError::insufficient_size(128),
                  "an input argument is not large enough, needs to be at least 128", ""},
        ErrorCase{"SizeAbsent", NvmlError::insufficient_size(std::nullopt),
                  "an input argument is not large enough", ""},
        ErrorCase{"Utf8Invalid", NvmlError::utf8(Utf8Error{4, 1}), "could not interpret string as utf-8",
                  "invalid utf-8 sequence of 1 bytes from index 4"},
        ErrorCase{"Utf8Incomplete", NvmlError::utf8(Utf8Error{2, std::nullopt}),
                  "could not interpret string as utf-8", "incomplete utf-8 byte sequence from index 2"},
        ErrorCase{"DlOpen", NvmlError::libloading(LibraryError::DlOpen{gpu::DlDescription("x.so: gone")}),
                  "a libloading error occurred: x.so: gone", "x.so: gone"},
        ErrorCase{"DlOpenUnknown", NvmlError::libloading(LibraryError::DlOpenUnknown{}),
                  "a libloading error occurred: dlopen failed, but system did not report the error",
                  "dlopen failed, but system did not report the error"},
        ErrorCase{"CreateCString",
                  NvmlError::libloading(LibraryError::CreateCString{{1, std::string("a\0b", 3)}}),
                  "a libloading error occurred: could not create a C string from bytes",
                  "could not create a C string from bytes: nul byte found in provided data at position: 1"},
        ErrorCase{"CreateCStringWithTrailing",
                  NvmlError::libloading(LibraryError::CreateCStringWithTrailing{{0, std::string("\0a\0", 3)}}),
                  "a libloading error occurred: could not create a C string from bytes with trailing null",
                  "could not create a C string from bytes with trailing null: "
                  "nul byte found in provided data at position: 0"},
        ErrorCase{"SymbolFromDlSym",
                  NvmlError::failed_to_load_symbol(
                      LibraryError(LibraryError::DlSym{gpu::DlDescription("lib.so: undefined symbol: f")})
                          .display()),
                  "function symbol failed to load: lib.so: undefined symbol: f", ""},
        ErrorCase{"SymbolNullAddress",
                  NvmlError::failed_to_load_symbol(LibraryError(LibraryError::DlSymUnknown{}).display()),
                  "function symbol failed to load: dlsym failed, but system did not report the error", ""}),
    test::CaseName());

TEST(DlDescription, DisplaysLossilyButKeepsBytes) {
  const std::string raw = "lib\xFF.so: \xE2\x82";
  const gpu::DlDescription desc(raw.c_str());
  EXPECT_EQ(desc.bytes(), raw);
  EXPECT_EQ(desc.display(), "lib\xEF\xBF\xBD.so: \xEF\xBF\xBD");
  const LibraryError open = LibraryError::DlOpen{desc};
  EXPECT_EQ(open.display(), desc.display());
  EXPECT_EQ(NvmlError::libloading(open).display(), "a libloading error occurred: " + desc.display());
  EXPECT_EQ(std::get<LibraryError::DlOpen>(open.kind()).desc.bytes(), raw);
}

TEST(LibraryErrorDebug, NamesKindAndQuotesLoaderText) {
  EXPECT_EQ(LibraryError(LibraryError::DlSym{gpu::DlDescription("a \"b\" \\c")}).debug(),
            R"(DlSym { desc: "a \"b\" \\c" })");
  EXPECT_EQ(LibraryError(LibraryError::DlOpenUnknown{}).debug(), "DlOpenUnknown");
  EXPECT_EQ(LibraryError(LibraryError::DlSymUnknown{}).debug(), "DlSymUnknown");
  EXPECT_FALSE(LibraryError(LibraryError::DlSymUnknown{}).cause());
}

// ---- The service's error: the failing step, and the chain below it -----------

TEST(ContextErrorStep, EachStepDisplaysItsMessage) {
  const struct {
    Step step;
    const char* message;
  } steps[] = {
      {Step::ReadCache, "Failed to read cache file"},
      {Step::InitNvml, "Failed to init nvml"},
      {Step::DeviceCount, "Failed to get nvml device count"},
      {Step::NoGpus, "No GPUs found"},
      {Step::DeviceByIndex, "Failed to get nvml device by index"},
      {Step::DeviceUuid, "Failed to get device uuid"},
      {Step::WriteCache, "Failed to write cache"},
  };
  for (const auto& s : steps) {
    const ContextError error(s.step);
    EXPECT_EQ(error.step(), s.step);
    EXPECT_EQ(error.display(), s.message);
    EXPECT_FALSE(error.cause());
    EXPECT_EQ(chain(error), s.message);
  }
}

// with_context keeps the lower error whole, whether it is one error or one of
// several, and the chain walks every level of it.
TEST(ContextErrorChain, WalksEveryLevelBelowTheStep) {
  using CacheError = std::variant<OsError, Utf8Error>;
  const auto read = with_context(std::expected<int, CacheError>(std::unexpect, Utf8Error{2, 1}), Step::ReadCache);
  ASSERT_FALSE(read.has_value());
  EXPECT_EQ(chain(read.error()), "Failed to read cache file: invalid utf-8 sequence of 1 bytes from index 2");
  ASSERT_NE(read.error().cause().get_if<Utf8Error>(), nullptr);
  EXPECT_EQ(*read.error().cause().get_if<Utf8Error>(), (Utf8Error{2, 1}));
  EXPECT_EQ(read.error().cause().get_if<OsError>(), nullptr);

  const auto init = with_context(
      std::expected<void, NvmlError>(std::unexpect, NvmlError::libloading(LibraryError::CreateCString{{3, "lib"}})),
      Step::InitNvml);
  ASSERT_FALSE(init.has_value());
  EXPECT_EQ(chain(init.error()),
            "Failed to init nvml: a libloading error occurred: could not create a C string from bytes: "
            "could not create a C string from bytes: nul byte found in provided data at position: 3");
  EXPECT_NE(init.error().cause().get_if<NvmlError>(), nullptr);
  EXPECT_EQ(init.error().cause().cause().cause().get_if<gpu::NulError>()->position, 3u);
  EXPECT_FALSE(init.error().cause().cause().cause().cause());

  // A copy owns a cause of its own: it outlives the original.
  std::optional<ContextError> original(init.error());
  const ContextError copy = *original;
  original.reset();
  EXPECT_EQ(chain(copy), chain(init.error()));
  EXPECT_NE(copy.cause().get_if<NvmlError>(), init.error().cause().get_if<NvmlError>());

  EXPECT_EQ(with_context(std::expected<int, OsError>(7), Step::WriteCache), 7);
  EXPECT_EQ(chain(ErrorRef()), "");
}

}  // namespace
}  // namespace zorf
