#include "Cpp/BaseClasses/List.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Item {
  int tag;
};

std::vector<Item*> Items(const List<Item>& list) {
  std::vector<Item*> out;
  for (int i = 0; i < list.getNumItems(); i++) out.push_back(list.getItem(i));
  return out;
}

TEST(ListTest, GrowsByDoublingAndKeepsNullTail) {
  std::vector<Item> pool(41);
  List<Item> list;
  EXPECT_EQ(list.getArraySize(), 10);
  for (int i = 0; i < 10; i++) list.append(&pool[i]);
  EXPECT_EQ(list.getArraySize(), 10);
  list.append(&pool[10]);
  EXPECT_EQ(list.getArraySize(), 20);
  for (int i = 11; i < 21; i++) list.append(&pool[i]);
  EXPECT_EQ(list.getArraySize(), 40);
  EXPECT_EQ(list.getNumItems(), 21);
  for (int i = 0; i < 21; i++) EXPECT_EQ(list[i], &pool[i]);
  for (int i = 21; i < 40; i++) EXPECT_EQ(list.getList()[i], nullptr);
}

TEST(ListTest, AppendingRefusesDuplicatesButStillGrowsWhenFull) {
  Item a{1}, b{2}, c{3};
  List<Item> list(2);
  list.append(&a);
  list.append(&a);
  EXPECT_EQ(list.getNumItems(), 1);
  list.append(&b);
  // Full: the growth happens before the duplicate check.
  list.append(&b);
  EXPECT_EQ(list.getArraySize(), 4);
  EXPECT_EQ(Items(list), (std::vector<Item*>{&a, &b}));

  Item* batch[] = {&c, &a, &c};
  EXPECT_EQ(list.append(batch, 3), 3);
  EXPECT_EQ(Items(list), (std::vector<Item*>{&a, &b, &c}));
  EXPECT_TRUE(list.contains(&c));
}

TEST(ListTest, AppendListGrowsToTwiceTheSumEvenForDuplicates) {
  Item a{1}, b{2}, c{3};
  List<Item> list(4);
  list.append(&a);
  list.append(&b);
  list.append(&c);
  List<Item> other(3);
  other.append(&c);
  other.append(&b);
  other.append(&a);
  list.append(&other);
  EXPECT_EQ(list.getArraySize(), 12);
  EXPECT_EQ(Items(list), (std::vector<Item*>{&a, &b, &c}));
}

TEST(ListTest, RemoveAndReplaceMoveTheLastItemIntoTheGap) {
  Item p{1}, q{2}, r{3};
  List<Item> list;
  list.append(&p);
  list.append(&q);
  list.append(&r);
  list.remove(&p);
  EXPECT_EQ(Items(list), (std::vector<Item*>{&r, &q}));
  list.remove(&p);  // not held: nothing happens
  EXPECT_EQ(list.getNumItems(), 2);

  List<Item> both;
  both.append(&p);
  both.append(&q);
  both.append(&r);
  both.replaceItem(&p, &q);  // q already held: p removed, q kept once
  EXPECT_EQ(Items(both), (std::vector<Item*>{&r, &q}));

  List<Item> fresh;
  fresh.append(&p);
  fresh.append(&r);
  fresh.replaceItem(&p, &q);  // q new: takes p's slot
  EXPECT_EQ(Items(fresh), (std::vector<Item*>{&q, &r}));

  List<Item> self;
  self.append(&p);
  self.append(&q);
  self.replaceItem(&p, &p);  // both found in one slot: treated as already held
  EXPECT_EQ(Items(self), (std::vector<Item*>{&q}));
}

TEST(ListTest, RemoveSetOfItemsKeepsOrderAndCancelsOncePerEntry) {
  Item a{1}, b{2}, c{3}, d{4};
  List<Item> list;
  for (Item* item : {&a, &b, &c, &d}) list.append(item);
  List<Item> none;
  list.removeSetOfItems(none);
  EXPECT_EQ(Items(list), (std::vector<Item*>{&a, &b, &c, &d}));
  List<Item> some;
  some.append(&c);
  some.append(&a);
  list.removeSetOfItems(some);
  EXPECT_EQ(Items(list), (std::vector<Item*>{&b, &d}));
}

TEST(ListTest, ClearKeepsCapacityAndPrintsEmptyMessage) {
  Item a{1};
  List<Item> list;
  list.append(&a);
  list.clearList();
  EXPECT_EQ(list.getNumItems(), 0);
  EXPECT_EQ(list.getArraySize(), 10);
  testing::internal::CaptureStdout();
  list.printList();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "No items in the list\n");
}

TEST(ListTest, ZeroCapacityListsAndShrinkingRequestsStaySafe) {
  Item a{1}, b{2}, c{3};
  List<Item> list(0);
  list.append(&a);
  list.append(&b);
  list.append(&c);
  EXPECT_EQ(Items(list), (std::vector<Item*>{&a, &b, &c}));
  list.increaseArraySize(1);  // never drops held items
  EXPECT_EQ(Items(list), (std::vector<Item*>{&a, &b, &c}));
  list.increaseArraySize(50);
  EXPECT_EQ(list.getArraySize(), 50);
  EXPECT_EQ(Items(list), (std::vector<Item*>{&a, &b, &c}));
}

}  // namespace
