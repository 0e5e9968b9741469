#include <gtest/gtest.h>

#include <cmath>

#include "core/gradients/fsl_format.hpp"
#include "core/gradients/grad_format.hpp"
#include "core/gradients/inputs.hpp"
#include "core/gradients/text_scan.hpp"
#include "test_support.hpp"

namespace dirsieve {
namespace {

using testing::TempDir;

TEST(NumberGrammar, AcceptsTheDecimalForms) {
  EXPECT_EQ(parse_number("1e3"), 1000.0);
  EXPECT_EQ(parse_number("+5"), 5.0);
  EXPECT_EQ(parse_number(".5"), 0.5);
  EXPECT_EQ(parse_number("5."), 5.0);
  EXPECT_EQ(parse_number("-2.5E-1"), -0.25);
  EXPECT_TRUE(std::isnan(*parse_number("NaN")));
  EXPECT_TRUE(std::isnan(*parse_number("-nAn")));
  EXPECT_EQ(parse_number("-Infinity"), -INFINITY);
  EXPECT_EQ(parse_number("inf"), INFINITY);
  EXPECT_EQ(parse_number("1e400"), INFINITY);
  EXPECT_EQ(parse_number("-1e400"), -INFINITY);
  EXPECT_EQ(parse_number("1e-400"), 0.0);
  // Correct rounding of a long mantissa.
  EXPECT_EQ(parse_number("0.1000000000000000055511151231257827"), 0.1);
}

TEST(NumberGrammar, RejectsEverythingElse) {
  for (const char* bad : {"1,5", "0x10", "5e", "-", "+", "", ".", "e5", "1e+", "nan(1)", "infinit", "1.2.3", "1 2",
                          "\xEF\xBB\xBF" "1", "--1", "1e5.5"}) {
    EXPECT_FALSE(parse_number(bad).has_value()) << bad;
  }
}

TEST(TextScan, UnicodeWhitespaceSplitsTokens) {
  auto tokens = tokenize("1\t2\xC2\xA0" "3\xE3\x80\x80" "4  5\xE2\x80\xA8" "6");
  ASSERT_EQ(tokens.size(), 6u);
  EXPECT_EQ(tokens[2], "3");
  EXPECT_EQ(tokens[5], "6");
  EXPECT_TRUE(is_valid_utf8("\xE2\x86\x92"));
  EXPECT_FALSE(is_valid_utf8("\xC0\x80"));       // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));   // surrogate
  EXPECT_FALSE(is_valid_utf8("\xE2\x86"));       // truncated
}

TEST(FslReader, ReadsBothLayoutsAndLineEndings) {
  TempDir dir;
  auto bval = dir.write("a.bval", "0\n1000\n1000\n2000\n");
  auto rows = dir.write("rows.bvec", "0 1 0 0\r\n\r\n0 0 1 0\r\n0 0 0 1\r\n\n");
  auto table = read_fsl_pair(rows, bval);
  ASSERT_TRUE(table.ok()) << table.error().display();
  ASSERT_EQ(table->size(), 4u);
  EXPECT_EQ(table->directions()[1], (Vec3{1, 0, 0}));
  EXPECT_EQ(table->directions()[3], (Vec3{0, 0, 1}));
  EXPECT_EQ(table->bvals()[3], 2000.0);

  auto columns = dir.write("cols.bvec", "\n0 0 0\n1\t0 0\n0\xC2\xA0" "1 0\n0 0 1\n");
  auto table2 = read_fsl_pair(columns, bval);
  ASSERT_TRUE(table2.ok()) << table2.error().display();
  EXPECT_EQ(table2->directions(), table->directions());
}

TEST(FslReader, ThreeByThreeIsReadAsComponentRows) {
  TempDir dir;
  auto bval = dir.write("a.bval", "1000 1000 1000");
  auto bvec = dir.write("a.bvec", "1 2 3\n4 5 6\n7 8 9\n");
  auto table = read_fsl_pair(bvec, bval);
  ASSERT_TRUE(table.ok());
  EXPECT_EQ(table->directions()[0], (Vec3{1, 4, 7}));
}

TEST(FslReader, ReportsTheFirstFaultWithItsMessage) {
  TempDir dir;
  auto bval = dir.write("a.bval", "0 1000");
  auto bad_bval = dir.write("bad.bval", "0 1,0");
  auto comment = dir.write("c.bvec", "# x y z\n0 1\n0 0\n0 0\n");
  auto shape = dir.write("s.bvec", "0 1 0\n0 0 1 0\n");
  auto fine = dir.write("f.bvec", "0 1\n0 0\n0 0\n");

  EXPECT_EQ(read_fsl_pair(comment, bval).error().display(), "failed to parse " + comment + ": invalid number: #");
  EXPECT_EQ(read_fsl_pair(shape, bval).error().display(),
            "failed to parse " + shape + ": bvec shape does not match the b-value count");
  // The bval file is parsed first, so its fault wins over a broken bvec.
  EXPECT_EQ(read_fsl_pair(comment, bad_bval).error().display(),
            "failed to parse " + bad_bval + ": invalid number: 1,0");
  auto missing = read_fsl_pair(fine, dir.file("missing.bval"));
  EXPECT_EQ(missing.error().display(), "I/O error: No such file or directory (os error 2)");
  auto bom = dir.write("bom.bval", "\xEF\xBB\xBF" "0 1000");
  EXPECT_EQ(read_fsl_pair(fine, bom).error().display(),
            "failed to parse " + bom + ": invalid number: \xEF\xBB\xBF" "0");
  auto latin1 = dir.write("l.bval", "0 1000\xE9");
  EXPECT_EQ(read_fsl_pair(fine, latin1).error().display(), "I/O error: stream did not contain valid UTF-8");
}

TEST(FslReader, EmptyFilesGiveAnEmptyTable) {
  TempDir dir;
  auto table = read_fsl_pair(dir.write("e.bvec", ""), dir.write("e.bval", "  \n"));
  ASSERT_TRUE(table.ok());
  EXPECT_EQ(table->size(), 0u);
}

TEST(GradReader, RowsCommentsAndErrors) {
  TempDir dir;
  auto good = dir.write("g.b", "# comment\n   # indented comment\n1 0 0 1000 extra words\n\n0 1 0 2000 # x\n");
  auto table = read_grad_file(good);
  ASSERT_TRUE(table.ok()) << table.error().display();
  ASSERT_EQ(table->size(), 2u);
  EXPECT_EQ(table->directions()[0], (Vec3{1, 0, 0}));
  EXPECT_EQ(table->bvals()[1], 2000.0);

  auto short_row = dir.write("s.b", "1 0 0\n");
  EXPECT_EQ(read_grad_file(short_row).error().display(),
            "failed to parse " + short_row + ": expected 4 values per row, found 3");
  auto bad = dir.write("b.b", "1 0 x 1000\n");
  EXPECT_EQ(read_grad_file(bad).error().display(), "failed to parse " + bad + ": invalid number: x");
}

TEST(Writers, ExactLayoutAndRoundTrip) {
  auto table = GradientTable::make({{-0.0, 1e-9, -1e-9}, {0.70710678118, -1.0, 0.5}}, {995.0000000001, 1000.0});
  ASSERT_TRUE(table.ok());
  auto [bvec, bval] = format_fsl_pair_text(*table);
  EXPECT_EQ(bvec, "0.000000 0.707107\n0.000000 -1.000000\n-0.000000 0.500000\n");
  EXPECT_EQ(bval, "995.0000000001 1000\n");
  EXPECT_EQ(format_grad_text(*table),
            "0.000000 0.000000 -0.000000 995.0000000001\n0.707107 -1.000000 0.500000 1000\n");

  auto odd = GradientTable::make({{NAN, INFINITY, -INFINITY}}, {-0.0});
  EXPECT_EQ(format_grad_text(*odd), "NaN inf -inf -0\n");
  auto empty = GradientTable::make({}, {});
  auto [ebvec, ebval] = format_fsl_pair_text(*empty);
  EXPECT_EQ(ebvec, "\n\n\n");
  EXPECT_EQ(ebval, "\n");
  EXPECT_EQ(format_grad_text(*empty), "");

  TempDir dir;
  ASSERT_TRUE(write_fsl_pair(dir.file("o.bvec"), dir.file("o.bval"), *table).ok());
  auto back = read_fsl_pair(dir.file("o.bvec"), dir.file("o.bval"));
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->bvals(), table->bvals());
  EXPECT_EQ(back->directions()[1][0], 0.707107);
  // A failed bvec write leaves the bval file untouched.
  EXPECT_FALSE(write_fsl_pair(dir.file("nodir/o.bvec"), dir.file("never.bval"), *table).ok());
  EXPECT_FALSE(std::filesystem::exists(dir.file("never.bval")));
}

TEST(GradientInputs, GradWinsAndRecordsFollowTheOrder) {
  TempDir dir;
  auto grad = dir.write("g.b", "1 0 0 1000\n");
  auto inputs = resolve_gradient_inputs(dir.file("missing.bvec"), dir.file("missing.bval"), grad);
  ASSERT_TRUE(inputs.ok()) << inputs.error().display();
  ASSERT_EQ(inputs->records.size(), 1u);
  EXPECT_EQ(inputs->records[0].path, grad);
  EXPECT_EQ(inputs->format, GradientFormat::Mrtrix);

  auto bvec = dir.write("a.bvec", "1\n0\n0\n");
  auto bval = dir.write("a.bval", "1000\n");
  auto pair = resolve_gradient_inputs(bvec, bval, std::nullopt);
  ASSERT_TRUE(pair.ok());
  ASSERT_EQ(pair->records.size(), 2u);
  EXPECT_EQ(pair->records[0].path, bvec);
  EXPECT_EQ(pair->records[1].path, bval);
  EXPECT_EQ(pair->records[1].bytes, 5u);
  EXPECT_FALSE(gradient_inputs_complete(bvec, std::nullopt, std::nullopt));
  EXPECT_EQ(GradientTable::make({{0, 0, 0}}, {}).error().display(),
            "gradient table mismatch: 1 directions but 0 b-values");
}

}  // namespace
}  // namespace dirsieve
