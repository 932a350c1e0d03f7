// Table: a grid of text cells with named columns.
#include <zavrin/containers.h>

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "util/text_numbers.h"

namespace {

// Each number is formatted into this many bytes before it is stored.
constexpr size_t kNumberTextSize = 32;

template <typename Number>
void StoreNumber(Table *table, int row, int column, Number value) {
  char text[kNumberTextSize];
  zavrin::FormatNumber(text, sizeof(text), value);
  table->SetAt(row, column, text);
}

}  // namespace

Table::Table() : rowCount(0), columnCount(0), cells(nullptr), columnNames(nullptr) {}

Table::~Table() {
  size_t cellCount = static_cast<size_t>(rowCount) * static_cast<size_t>(columnCount);
  if (cells != nullptr) {
    for (size_t i = 0; i < cellCount; i++) free(cells[i]);
  }
  free(cells);
  for (int i = 0; i < columnCount; i++) free(columnNames[i]);
  free(columnNames);
}

void Table::AddColumn(const char *name) {
  if (columnCount == INT_MAX) return;
  size_t columns = static_cast<size_t>(columnCount);
  size_t newColumns = columns + 1;
  size_t rows = static_cast<size_t>(rowCount);
  // Rows lie one after the other, so every row moves: the wider grid is built
  // in one pass over the cell pointers.
  char **wider = nullptr;
  if (rows > 0) {
    if (rows > SIZE_MAX / sizeof(char *) / newColumns) return;
    wider = static_cast<char **>(malloc(rows * newColumns * sizeof(char *)));
    if (wider == nullptr) return;
  }
  char *nameCopy = strdup(name);
  char **grownNames = nameCopy != nullptr
                          ? static_cast<char **>(realloc(columnNames, newColumns * sizeof(char *)))
                          : nullptr;
  if (grownNames == nullptr) {
    free(nameCopy);
    free(wider);
    return;
  }
  columnNames = grownNames;
  if (wider != nullptr) {
    for (size_t r = 0; r < rows; r++) {
      if (columns > 0)
        memcpy(wider + r * newColumns, cells + r * columns, columns * sizeof(char *));
      wider[r * newColumns + columns] = nullptr;
    }
    free(cells);
    cells = wider;
  }
  columnNames[columnCount] = nameCopy;
  columnCount++;
}

void Table::AddRow() {
  if (rowCount == INT_MAX) return;
  if (columnCount > 0) {
    size_t columns = static_cast<size_t>(columnCount);
    size_t newRows = static_cast<size_t>(rowCount) + 1;
    if (newRows > SIZE_MAX / sizeof(char *) / columns) return;
    char **grown = static_cast<char **>(realloc(cells, newRows * columns * sizeof(char *)));
    if (grown == nullptr) return;
    cells = grown;
    memset(cells + rowCount * columns, 0, columns * sizeof(char *));
  }
  rowCount++;
}

// The slot of a cell, or null when the row or column is out of range.
char **Table::Cell(int row, int column) const {
  if (row < 0 || row >= rowCount || column < 0 || column >= columnCount) return nullptr;
  return cells + static_cast<size_t>(row) * static_cast<size_t>(columnCount) + column;
}

void Table::SetAt(int row, int column, const char *text) {
  char **cell = Cell(row, column);
  if (cell == nullptr) return;
  char *copy = strdup(text);
  if (copy == nullptr) return;
  free(*cell);
  *cell = copy;
}

// Magnitudes of doubles from about 1e24 up need more than the 31 characters:
// their text is cut.
void Table::SetAt(int row, int column, int32_t value) {
  StoreNumber(this, row, column, value);
}

void Table::SetAt(int row, int column, DWORD value) {
  StoreNumber(this, row, column, value);
}

void Table::SetAt(int row, int column, INT64 value) {
  StoreNumber(this, row, column, value);
}

void Table::SetAt(int row, int column, QWORD value) {
  StoreNumber(this, row, column, value);
}

void Table::SetAt(int row, int column, double value) {
  StoreNumber(this, row, column, value);
}

char *Table::GetAsString(int row, int column) const {
  char **cell = Cell(row, column);
  return cell != nullptr ? *cell : nullptr;
}

int32_t Table::GetAsInt(int row, int column) const {
  const char *text = GetAsString(row, column);
  return text != nullptr ? zavrin::TextToInt32(text) : 0;
}

DWORD Table::GetAsUInt(int row, int column) const {
  const char *text = GetAsString(row, column);
  return text != nullptr ? zavrin::TextToUInt32(text) : 0;
}

INT64 Table::GetAsInt64(int row, int column) const {
  const char *text = GetAsString(row, column);
  return text != nullptr ? strtoll(text, nullptr, 0) : 0;
}

QWORD Table::GetAsUInt64(int row, int column) const {
  const char *text = GetAsString(row, column);
  return text != nullptr ? strtoull(text, nullptr, 0) : 0;
}

double Table::GetAsDouble(int row, int column) const {
  const char *text = GetAsString(row, column);
  return text != nullptr ? strtod(text, nullptr) : 0.0;
}
