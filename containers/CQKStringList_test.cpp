#include "containers/CQKStringList.h"

#include <gtest/gtest.h>

#include <new>

#include "containers/TEmptyListAndDeleteContents.h"
#include "strings/CQKString.h"

namespace {

const unsigned int kLast = LArray::kIndexLast;

// A string that counts its own deletions, to see the list release them.
struct CountedString : CQKString {
  CountedString(const CQKString& text, int* deaths)
      : CQKString(text), deaths(deaths) {}
  ~CountedString() override { ++*deaths; }
  int* deaths;
};

TEST(CQKStringListTest, PositionsLookupsAndCopies) {
  CQKStringList list;
  EXPECT_EQ(0u, list.GetCount());
  EXPECT_EQ(0u, list.GetAllocatedBytes());
  EXPECT_EQ(nullptr, list.GetStringAt(1));
  EXPECT_EQ(nullptr, list.GetStringAt(kLast));
  const char* texts[] = {"b", "a", "first", "z", "y"};
  const unsigned int indexes[] = {kLast, 1, 0, 40, 4};
  for (int i = 0; i < 5; i++) {
    EXPECT_TRUE(list.AddStringToList(new CQKString(texts[i]), indexes[i]));
  }
  EXPECT_FALSE(list.AddStringToList(nullptr, 1));
  const char* expected[] = {"first", "a", "b", "y", "z"};
  ASSERT_EQ(5u, list.GetCount());
  for (unsigned int i = 1; i <= 5; i++) {
    EXPECT_STREQ(expected[i - 1], list.GetStringAt(i)->GetSafeStringPtr());
  }
  EXPECT_STREQ("z", list.GetStringAt(kLast)->GetSafeStringPtr());
  EXPECT_EQ(nullptr, list.GetStringAt(6));
  EXPECT_EQ(nullptr, list.GetStringAt(0));

  // A string added by reference is copied; the caller's stays its own.
  CQKString original("caf\xC3\xA9");
  EXPECT_TRUE(list.AddStringToList(original, 1));
  original = "changed";
  EXPECT_STREQ("caf\xC3\xA9", list.GetStringAt(1)->GetSafeStringPtr());
  EXPECT_EQ(5u, list.GetStringAt(1)->GetLength());
  EXPECT_STREQ("changed", original.GetSafeStringPtr());
}

TEST(CQKStringListTest, BlockGrowsByElevenAndOwnedStringsAreDeleted) {
  int deaths = 0;
  {
    CQKStringList list;
    list.EmptyListAndDeleteContents();
    TEmptyListAndDeleteContents<CQKString>(nullptr);
    // The block is reallocated at the 1st, 12th and 23rd string.
    for (unsigned int i = 1; i <= 23; i++) {
      list.AddStringToList(new CountedString(CQKString(i), &deaths), kLast);
      EXPECT_EQ(i <= 11 ? 11u : i <= 22 ? 22u : 33u,
                list.GetAllocatedBytes() / sizeof(CQKString*)) << i;
    }
    list.EmptyListAndDeleteContents();
    EXPECT_EQ(23, deaths);
    EXPECT_EQ(0u, list.GetCount());
    EXPECT_EQ(0u, list.GetAllocatedBytes());
    list.AddStringToList(new CountedString("y", &deaths), 1);
    list.AddStringToList(new CountedString("z", &deaths), 1);
  }
  EXPECT_EQ(25, deaths);
}

TEST(CQKStringListTest, FailedInsertionDeletesTheGivenString) {
  // A list whose block never grows throws as an exhausted heap would.
  class FullList : public CQKStringList {
   public:
    void AdjustStorage(int, int) override { throw std::bad_alloc(); }
  };
  int deaths = 0;
  FullList list;
  EXPECT_THROW(list.AddStringToList(new CountedString("lost", &deaths), 1),
               std::bad_alloc);
  EXPECT_EQ(1, deaths);
  EXPECT_EQ(0u, list.GetCount());
}

}  // namespace
