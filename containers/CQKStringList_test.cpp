#include "containers/CQKStringList.h"

#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "containers/TEmptyListAndDeleteContents.h"
#include "strings/CQKString.h"

namespace {

const unsigned int kLast = LArray::kIndexLast;

// A string that counts its own deletions, to see the list release them.
class CountedString : public CQKString {
 public:
  CountedString(const char* text, int* deaths)
      : CQKString(text), deaths_(deaths) {}
  ~CountedString() override { ++*deaths_; }

 private:
  int* deaths_;
};

std::vector<std::string> Texts(const CQKStringList& list) {
  std::vector<std::string> texts;
  for (unsigned int i = 1; i <= list.GetCount(); i++) {
    texts.push_back(list.GetStringAt(i)->GetSafeStringPtr());
  }
  return texts;
}

TEST(CQKStringListBasics, NewListIsEmptyWithoutABlock) {
  const CQKStringList list;
  EXPECT_EQ(0u, list.GetCount());
  EXPECT_EQ(0u, list.GetAllocatedBytes());
  EXPECT_EQ(nullptr, list.GetStringAt(0));
  EXPECT_EQ(nullptr, list.GetStringAt(1));
  EXPECT_EQ(nullptr, list.GetStringAt(kLast));
}

TEST(CQKStringListBasics, PositionsOfInsertion) {
  CQKStringList list;
  EXPECT_TRUE(list.AddStringToList(new CQKString("b"), kLast));
  EXPECT_TRUE(list.AddStringToList(new CQKString("a"), 1));
  EXPECT_TRUE(list.AddStringToList(new CQKString("first"), 0));
  EXPECT_TRUE(list.AddStringToList(new CQKString("z"), 40));
  EXPECT_TRUE(list.AddStringToList(new CQKString("y"), 4));
  EXPECT_FALSE(list.AddStringToList(nullptr, 1));
  EXPECT_EQ((std::vector<std::string>{"first", "a", "b", "y", "z"}),
            Texts(list));
  EXPECT_STREQ("z", list.GetStringAt(kLast)->GetSafeStringPtr());
  EXPECT_EQ(nullptr, list.GetStringAt(6));
  EXPECT_EQ(nullptr, list.GetStringAt(0));
}

TEST(CQKStringListBasics, CopiesByReferenceAreIndependent) {
  CQKStringList list;
  CQKString original("caf\xC3\xA9");
  EXPECT_TRUE(list.AddStringToList(original, kLast));
  original = "changed";
  const CQKString* copy = list.GetStringAt(1);
  EXPECT_NE(&original, copy);
  EXPECT_STREQ("caf\xC3\xA9", copy->GetSafeStringPtr());
  EXPECT_EQ(5u, copy->GetLength());
  EXPECT_STREQ("changed", original.GetSafeStringPtr());
}

TEST(CQKStringListStorage, BlockGrowsAtFirstTwelfthAndTwentyThirdString) {
  CQKStringList list;
  std::vector<unsigned int> capacity;
  for (int i = 1; i <= 23; i++) {
    list.AddStringToList(CQKString(i), kLast);
    capacity.push_back(list.GetAllocatedBytes() / sizeof(CQKString*));
  }
  std::vector<unsigned int> expected(11, 11);
  expected.insert(expected.end(), 11, 22);
  expected.push_back(33);
  EXPECT_EQ(expected, capacity);
  EXPECT_STREQ("12", list.GetStringAt(12)->GetSafeStringPtr());
}

TEST(CQKStringListOwnership, EmptyingAndDestroyingDeleteEveryString) {
  int deaths = 0;
  {
    CQKStringList list;
    list.EmptyListAndDeleteContents();
    EXPECT_EQ(0u, list.GetAllocatedBytes());
    for (int i = 0; i < 7; i++) {
      list.AddStringToList(new CountedString("x", &deaths), kLast);
    }
    list.EmptyListAndDeleteContents();
    EXPECT_EQ(7, deaths);
    EXPECT_EQ(0u, list.GetCount());
    EXPECT_EQ(0u, list.GetAllocatedBytes());

    for (int i = 0; i < 3; i++) {
      list.AddStringToList(new CountedString("y", &deaths), 1);
    }
  }
  EXPECT_EQ(10, deaths);
}

TEST(CQKStringListOwnership, GenericHelperOnOtherPointerLists) {
  int deaths = 0;
  TEmptyListAndDeleteContents<CQKString>(nullptr);
  CWVGrowList list(sizeof(CQKString*), 0);
  TEmptyListAndDeleteContents<CQKString>(&list);
  CQKString* strings[] = {new CountedString("a", &deaths), nullptr,
                          new CountedString("b", &deaths)};
  for (CQKString* s : strings) list.InsertItemsAt(1, kLast, &s, 0);
  TEmptyListAndDeleteContents<CQKString>(&list);
  EXPECT_EQ(2, deaths);
  EXPECT_EQ(0u, list.GetCount());
  EXPECT_EQ(0u, list.GetAllocatedBytes());
}

TEST(CQKStringListOwnership, FailedInsertionDeletesTheGivenString) {
  // A list whose block can never grow: the insertion throws like an
  // exhausted heap would.
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
