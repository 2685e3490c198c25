#include "containers/CQKStringList.h"

#include <gtest/gtest.h>

#include <new>
#include <string>

#include "containers/TEmptyListAndDeleteContents.h"
#include "strings/CQKString.h"

namespace {

const unsigned int kLast = LArray::kIndexLast;

// A string that counts its own deletions, to see the list release them.
struct CountedString : CQKString {
  CountedString(const char* text, int* deaths)
      : CQKString(text), deaths(deaths) {}
  ~CountedString() override { ++*deaths; }
  int* deaths;
};

// A list whose block never grows, as with an exhausted heap.
struct FullList : CQKStringList {
  void AdjustStorage(int, int) override { throw std::bad_alloc(); }
};

std::string Joined(const CQKStringList& list) {
  std::string all;
  for (unsigned int i = 0; i <= list.GetCount() + 1; i++) {
    const CQKString* s = list.GetStringAt(i);
    all += (s != nullptr ? s->GetSafeStringPtr() : "-") + std::string(" ");
  }
  return all;
}

TEST(CQKStringListTest, OwnsItsStringsFromInsertionToDeletion) {
  int deaths = 0;
  {
    CQKStringList list;
    TEmptyListAndDeleteContents<CQKString>(nullptr);
    const char* texts[] = {"b", "a", "first", "z", "y"};
    const unsigned int indexes[] = {kLast, 1, 0, 40, 4};
    for (int i = 0; i < 5; i++) {
      EXPECT_TRUE(list.AddStringToList(new CountedString(texts[i], &deaths),
                                       indexes[i]));
    }
    EXPECT_FALSE(list.AddStringToList(nullptr, 1));
    CQKString original("mine");  // added by reference: copied
    EXPECT_TRUE(list.AddStringToList(original, kLast));
    original = "changed";
    EXPECT_EQ("- first a b y z mine - ", Joined(list));
    EXPECT_STREQ("mine", list.GetStringAt(kLast)->GetSafeStringPtr());
    list.EmptyListAndDeleteContents();
    EXPECT_EQ(5, deaths);
    EXPECT_EQ(0u, list.GetCount() + list.GetAllocatedBytes());
    list.AddStringToList(new CountedString("y", &deaths), 1);
  }
  EXPECT_EQ(6, deaths);
  FullList full;
  EXPECT_THROW(full.AddStringToList(new CountedString("lost", &deaths), 1),
               std::bad_alloc);
  EXPECT_EQ(7, deaths);
  EXPECT_EQ(0u, full.GetCount());
}

}  // namespace
