#include <zavrin.h>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

namespace {

using Entries = std::vector<std::pair<std::string, std::string>>;

// The map's entries in index order; also checks that walking stops at Size().
Entries EntriesOf(const StringMap &map) {
  Entries entries;
  for (DWORD i = 0; i < map.Size(); i++)
    entries.emplace_back(map.GetKeyByIndex(i), map.GetValueByIndex(i));
  EXPECT_EQ(nullptr, map.GetKeyByIndex(map.Size()));
  EXPECT_EQ(nullptr, map.GetValueByIndex(map.Size()));
  return entries;
}

}  // namespace

TEST(StringMap, KeepsFirstSpellingAndOrderOfKeys) {
  // Each step: 'S' sets, 'P' sets preallocated strings, 'D' deletes; then the
  // entries expected after it.
  struct Step {
    char op;
    const char *key;
    const char *value;
    Entries after;
  } steps[] = {
      {'S', "Name", "a", {{"Name", "a"}}},
      {'S', "NAME", "b", {{"Name", "b"}}},
      {'S', "x", "1", {{"Name", "b"}, {"x", "1"}}},
      {'P', "X", "2", {{"Name", "b"}, {"x", "2"}}},
      {'P', "c", "3", {{"Name", "b"}, {"x", "2"}, {"c", "3"}}},
      {'D', "X", nullptr, {{"Name", "b"}, {"c", "3"}}},
      {'D', "missing", nullptr, {{"Name", "b"}, {"c", "3"}}},
      {'D', "name", nullptr, {{"c", "3"}}},
      {'S', "name", "", {{"c", "3"}, {"name", ""}}},
  };
  StringMap map;
  for (const Step &step : steps) {
    if (step.op == 'S') map.Set(step.key, step.value);
    // Freed by the map; the leak check of the sanitizer builds would tell.
    if (step.op == 'P') map.SetPreallocated(strdup(step.key), strdup(step.value));
    if (step.op == 'D') map.Delete(step.key);
    EXPECT_EQ(step.after, EntriesOf(map)) << step.op << " " << step.key;
  }
  EXPECT_STREQ("3", map.Get("C"));
  EXPECT_EQ(nullptr, map.Get("x"));
}

TEST(StringMap, CopiesAreSeparate) {
  StringMap source;
  source.Set("k1", "v1");
  source.Set("k2", "v2");
  StringMap copy(&source);
  StringMap assigned;
  assigned.Set("old", "gone");
  assigned = source;
  copy.Set("k1", "changed");
  assigned.Delete("k2");
  EXPECT_EQ((Entries{{"k1", "v1"}, {"k2", "v2"}}), EntriesOf(source));
  EXPECT_EQ((Entries{{"k1", "changed"}, {"k2", "v2"}}), EntriesOf(copy));
  EXPECT_EQ((Entries{{"k1", "v1"}}), EntriesOf(assigned));
  EXPECT_NE(source.Get("k2"), copy.Get("k2"));

  // Assigning a map to itself keeps its entries.
  StringMap &self = source;
  source = self;
  EXPECT_EQ((Entries{{"k1", "v1"}, {"k2", "v2"}}), EntriesOf(source));

  StringMap empty;
  StringMap emptyCopy(&empty);
  EXPECT_EQ(0u, emptyCopy.Size());
}

TEST(StringMap, ClearLeavesAUsableMap) {
  StringMap map;
  map.Clear();
  map.Set("a", "1");
  map.Clear();
  EXPECT_EQ(0u, map.Size());
  EXPECT_EQ(nullptr, map.Get("a"));
  map.Set("b", "2");
  EXPECT_EQ((Entries{{"b", "2"}}), EntriesOf(map));
}
