#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "core/report/input_record.hpp"
#include "core/util/error.hpp"
#include "core/util/json.hpp"
#include "core/util/number_format.hpp"
#include "test_support.hpp"

namespace dirsieve {
namespace {

TEST(JsonNumbers, ShortestDigitsWithTheNotationRule) {
  EXPECT_EQ(format_json_number(1000.0), "1000.0");
  EXPECT_EQ(format_json_number(0.0), "0.0");
  EXPECT_EQ(format_json_number(-0.0), "-0.0");
  EXPECT_EQ(format_json_number(12.34), "12.34");
  EXPECT_EQ(format_json_number(0.25), "0.25");
  EXPECT_EQ(format_json_number(0.001234), "0.001234");
  EXPECT_EQ(format_json_number(1e-5), "0.00001");
  EXPECT_EQ(format_json_number(1e-6), "1e-6");
  EXPECT_EQ(format_json_number(1.5e-7), "1.5e-7");
  EXPECT_EQ(format_json_number(1e15), "1000000000000000.0");
  EXPECT_EQ(format_json_number(1e16), "1e+16");
  EXPECT_EQ(format_json_number(123456789012345680000.0), "1.2345678901234568e+20");
  EXPECT_EQ(format_json_number(2.2250738585072014e-308), "2.2250738585072014e-308");
  EXPECT_EQ(format_json_number(-0.1), "-0.1");
  EXPECT_EQ(format_json_number(NAN), "null");
  EXPECT_EQ(format_json_number(-INFINITY), "null");
  EXPECT_EQ(format_json_number(5e-324), "5e-324");
}

TEST(PlainNumbers, NeverUseAnExponent) {
  EXPECT_EQ(format_shortest_plain(0.5), "0.5");
  EXPECT_EQ(format_shortest_plain(1.0), "1");
  EXPECT_EQ(format_shortest_plain(0.0), "0");
  EXPECT_EQ(format_shortest_plain(-0.0), "-0");
  EXPECT_EQ(format_shortest_plain(1e-7), "0.0000001");
  EXPECT_EQ(format_shortest_plain(1e21), "1000000000000000000000");
  EXPECT_EQ(format_shortest_plain(NAN), "NaN");
  EXPECT_EQ(format_shortest_plain(-INFINITY), "-inf");
  EXPECT_EQ(format_shortest_plain(1000.5), "1000.5");
}

TEST(FixedNumbers, CorrectlyRoundedTiesToEven) {
  EXPECT_EQ(format_fixed(0.125, 2), "0.12");   // exact tie -> even
  EXPECT_EQ(format_fixed(0.375, 2), "0.38");
  EXPECT_EQ(format_fixed(2.5, 0), "2");
  EXPECT_EQ(format_fixed(12.3, 1), "12.3");
  EXPECT_EQ(format_fixed(0.15, 1), "0.1");     // 0.15 is slightly below the tie
  EXPECT_EQ(format_fixed(NAN, 1), "NaN");
}

TEST(JsonWriter, StringsEscapeOnlyWhatMust) {
  std::string out;
  append_json_string(out, "a\"b\\c\td\n\x01/\x7F\xE2\x86\x92");
  EXPECT_EQ(out, "\"a\\\"b\\\\c\\td\\n\\u0001/\x7F\xE2\x86\x92\"");
}

// Found by fuzzing: a string with bytes that are not UTF-8 produced a document no JSON parser accepts.
TEST(JsonWriter, InvalidUtf8BecomesReplacementCharacters) {
  std::string out;
  append_json_string(out, std::string("\x01\"quot\xb0\xb0" "e\xe2\x86\x92 \xe2\x86 \xed\xa0\x80 \xf4\x90 \xc0\xaf", 25));
  EXPECT_EQ(out,
            "\"\\u0001\\\"quot\xEF\xBF\xBD\xEF\xBF\xBD" "e\xe2\x86\x92 \xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD "
            "\xEF\xBF\xBD\xEF\xBF\xBD \xEF\xBF\xBD\xEF\xBF\xBD\"");
  auto parsed = nlohmann::json::parse(out, nullptr, /*allow_exceptions=*/false);
  ASSERT_TRUE(parsed.is_string());
  // Valid text is untouched, non-ASCII included.
  out.clear();
  append_json_string(out, "\xe2\x86\x92 \xf0\x9f\x98\x80");
  EXPECT_EQ(out, "\"\xe2\x86\x92 \xf0\x9f\x98\x80\"");
}

TEST(JsonWriter, CompactAndPrettyLayouts) {
  JsonValue obj = JsonValue::object();
  obj.add("a", 1u).add("b", JsonValue::array().push(1.0).push(-2)).add("c", JsonValue::object());
  obj.add("d", JsonValue::array()).add("e", nullptr).add("f", true).add("g", "x");
  EXPECT_EQ(obj.to_compact(), R"({"a":1,"b":[1.0,-2],"c":{},"d":[],"e":null,"f":true,"g":"x"})");
  EXPECT_EQ(obj.to_pretty(),
            "{\n  \"a\": 1,\n  \"b\": [\n    1.0,\n    -2\n  ],\n  \"c\": {},\n  \"d\": [],\n  \"e\": null,\n"
            "  \"f\": true,\n  \"g\": \"x\"\n}");
}

TEST(Errors, DisplayTemplates) {
  EXPECT_EQ(CoreError::bad_thread_count().display(), "threads must be a positive integer");
  EXPECT_EQ(CoreError::bad_margin_threshold(0.0).display(), "margin threshold must be finite and in (0, 1]: 0");
  EXPECT_EQ(CoreError::bad_margin_threshold(2.0).display(), "margin threshold must be finite and in (0, 1]: 2");
  EXPECT_EQ(CoreError::bad_margin_threshold(NAN).display(), "margin threshold must be finite and in (0, 1]: NaN");
  EXPECT_EQ(CoreError::bad_margin_threshold(-0.0).display(), "margin threshold must be finite and in (0, 1]: -0");
  EXPECT_EQ(CoreError::io_errno(2).display(), "I/O error: No such file or directory (os error 2)");
  EXPECT_EQ(CoreError::refuse_overwrite("a b").display(),
            "refusing to overwrite existing file: a b (pass --force to allow)");
  EXPECT_EQ(CoreError::mask_grid_mismatch(543744, 552960).display(),
            "mask grid mismatch: mask has 543744 voxels but the DWI grid has 552960");
  EXPECT_EQ(CoreError::volume_mismatch(65, 64).display(), "volume mismatch: 65 gradients but 64 DWI volumes");
  EXPECT_EQ(CoreError::dti_fit("expected 4-D DWI, got 3-D").display(), "DTI fit failed: expected 4-D DWI, got 3-D");
  EXPECT_EQ(CoreError::parse("p", "d").display(), "failed to parse p: d");
}

TEST(InputRecords, HashTheWholeFile) {
  testing::TempDir dir;
  auto empty = make_input_record(dir.write("e", ""));
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(empty->bytes, 0u);
  EXPECT_EQ(empty->sha256, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  auto abc = make_input_record(dir.write("a", "abc"));
  EXPECT_EQ(abc->sha256, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(to_json(*abc).to_compact(), "{\"path\":\"" + dir.file("a") +
                                            "\",\"sha256\":\"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad\","
                                            "\"bytes\":3}");
  EXPECT_FALSE(make_input_record(dir.file("none")).ok());
}

}  // namespace
}  // namespace dirsieve
