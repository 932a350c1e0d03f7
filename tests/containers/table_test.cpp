#include <zavrin.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Every cell of the table, row by row; "-" for an unset cell.
std::vector<std::string> CellsOf(const Table &table) {
  std::vector<std::string> cells;
  for (int r = 0; r < table.GetNumRows(); r++)
    for (int c = 0; c < table.GetNumColumns(); c++) {
      const char *text = table.GetAsString(r, c);
      cells.push_back(text != nullptr ? text : "-");
    }
  return cells;
}

}  // namespace

TEST(Table, GrowsKeepingCellsInPlace) {
  Table table;
  EXPECT_EQ(nullptr, table.GetAsString(0, 0));
  EXPECT_EQ(0, table.GetAsInt(0, 0));
  table.Set(0, "no rows yet");
  table.AddRow();  // counted before any column exists
  table.AddColumn("a");
  EXPECT_EQ((std::vector<std::string>{"-"}), CellsOf(table));
  table.AddColumn("b");
  table.Set(1, 42);
  table.AddRow();
  table.Set(0, "x");
  table.Set(1, "y");
  table.AddColumn("c");
  EXPECT_EQ(2, table.GetNumRows());
  EXPECT_EQ(3, table.GetNumColumns());
  EXPECT_EQ((std::vector<std::string>{"-", "42", "-", "x", "y", "-"}), CellsOf(table));

  // Out-of-range writes change nothing; a cell is replaced in place.
  for (int bad : {-1, 2, 3}) {
    table.SetAt(bad, 0, "bad");
    table.SetAt(0, bad == 2 ? 3 : bad, "bad");
  }
  table.SetAt(1, 2, "z");
  table.SetAt(1, 2, "zz");
  EXPECT_EQ((std::vector<std::string>{"-", "42", "-", "x", "y", "zz"}), CellsOf(table));
  EXPECT_EQ(nullptr, table.GetAsString(0, 3));
}

TEST(Table, StoresNumbersAsText) {
  Table table;
  table.AddColumn("n");
  table.AddRow();
  struct {
    void (*set)(Table &);
    const char *text;
  } cases[] = {
      {[](Table &t) { t.Set(0, -7); }, "-7"},
      {[](Table &t) { t.Set(0, 4294967295u); }, "4294967295"},
      {[](Table &t) { t.Set(0, INT64_MIN); }, "-9223372036854775808"},
      {[](Table &t) { t.Set(0, UINT64_MAX); }, "18446744073709551615"},
      {[](Table &t) { t.Set(0, 2.5); }, "2.500000"},
      {[](Table &t) { t.Set(0, -0.0000004); }, "-0.000000"},
      // 1e30 needs 38 characters: the 32-byte buffer keeps the first 31.
      {[](Table &t) { t.Set(0, 1e30); }, "1000000000000000019884624838656"},
  };
  for (const auto &c : cases) {
    c.set(table);
    EXPECT_STREQ(c.text, table.GetAsString(0, 0));
  }
}

TEST(Table, ReadsNumbersWithBaseZero) {
  // Independent of the formatting: cells are set as text.
  struct {
    const char *text;
    int32_t asInt;
    DWORD asUInt;
    INT64 asInt64;
    QWORD asUInt64;
    double asDouble;
  } cases[] = {
      {"0x1F", 31, 31, 31, 31, 31.0},  // strtod reads hexadecimal too
      {"010", 8, 8, 8, 8, 10.0},
      {"3.5e2", 3, 3, 3, 3, 350.0},
      {"12abc", 12, 12, 12, 12, 12.0},
      {"abc", 0, 0, 0, 0, 0.0},
      {"-1", -1, 4294967295u, -1, UINT64_MAX, -1.0},
      {"4294967296", INT32_MAX, 4294967295u, 4294967296, 4294967296u, 4294967296.0},
      {"-9223372036854775809", INT32_MIN, 4294967295u, INT64_MIN, 9223372036854775807u,
       -9223372036854775809.0},
  };
  Table table;
  table.AddColumn("v");
  table.AddRow();
  for (const auto &c : cases) {
    table.Set(0, c.text);
    EXPECT_EQ(c.asInt, table.GetAsInt(0, 0)) << c.text;
    EXPECT_EQ(c.asUInt, table.GetAsUInt(0, 0)) << c.text;
    EXPECT_EQ(c.asInt64, table.GetAsInt64(0, 0)) << c.text;
    EXPECT_EQ(c.asUInt64, table.GetAsUInt64(0, 0)) << c.text;
    EXPECT_EQ(c.asDouble, table.GetAsDouble(0, 0)) << c.text;
  }
}
