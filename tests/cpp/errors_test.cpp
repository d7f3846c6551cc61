#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "case_name.hpp"
#include "context_error.hpp"
#include "gpu/nvml_error.hpp"
#include "support/os_error.hpp"

namespace zorf {
namespace {

using gpu::LibraryError;
using gpu::NvmlError;
using Kind = gpu::NvmlErrorKind;

// nvml_try over every code from 0 to past 999, and the extremes. The named
// codes (1 to 22, and 999) each get a kind and a text of their own, without
// payload or cause, in code order after the kinds that do not come from a
// code; every other code is UnexpectedVariant and shows its number.
TEST(NvmlTry, NamedCodesGetKindsOfTheirOwnAndOthersShowTheirNumber) {
  EXPECT_TRUE(gpu::nvml_try(0).has_value());
  std::vector<std::uint32_t> codes;
  for (std::uint32_t code = 1; code <= 1100; ++code) codes.push_back(code);
  codes.insert(codes.end(), {65535u, 65536u, 2147483648u, 4294967295u});

  std::set<std::string> texts;
  Kind previous = Kind::UnexpectedVariant;
  for (const std::uint32_t code : codes) {
    SCOPED_TRACE(code);
    const auto result = gpu::nvml_try(code);
    ASSERT_FALSE(result.has_value());
    const NvmlError& error = result.error();
    EXPECT_FALSE(error.cause());
    if (code <= 22 || code == 999) {
      EXPECT_GT(error.kind(), previous);
      previous = error.kind();
      EXPECT_FALSE(error.display().empty());
      EXPECT_TRUE(texts.insert(error.display()).second) << error.display();
      EXPECT_EQ(error.display().find("unexpected enum variant value"), std::string::npos);
      EXPECT_EQ(error.display().find(", needs to be at least"), std::string::npos);
    } else {
      EXPECT_EQ(error.kind(), Kind::UnexpectedVariant);
      EXPECT_EQ(error.display(), "unexpected enum variant value: " + std::to_string(code));
    }
  }
  EXPECT_EQ(previous, Kind::Unknown) << "999 is the last named code";
  EXPECT_LT(Kind::Utf8Error, Kind::LibloadingError);
  EXPECT_LT(Kind::LibloadingError, Kind::FailedToLoadSymbol);
  EXPECT_LT(Kind::FailedToLoadSymbol, Kind::UnexpectedVariant);

  // The two whose kind matters beyond its text: the size that is never given,
  // and the catch-all code.
  EXPECT_EQ(gpu::nvml_try(7).error().kind(), Kind::InsufficientSize);
  EXPECT_EQ(gpu::nvml_try(7).error().display(), "an input argument is not large enough");
  EXPECT_EQ(gpu::nvml_try(999).error().kind(), Kind::Unknown);
  EXPECT_EQ(gpu::nvml_try(999).error().display(), "an internal driver error occured");
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

// ---- The service's error: the chain below the failing step -------------------

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
