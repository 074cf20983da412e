#include "label.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <set>
#include <stdexcept>
#include <vector>

using namespace corvapatch;

namespace {

std::vector<uint32_t> Walk(const RvaToLabel &labels)
{
    std::vector<uint32_t> rvas;
    for (const auto &entry : labels) {
        EXPECT_EQ(entry.second->rva, entry.first);
        rvas.push_back(entry.first);
    }
    return rvas;
}

} // namespace

// Enough labels to grow the table many times, at aligned addresses that collide in the low bits, inserted in
// random order with ordered walks in between: every label stays findable and every walk is in address order.
TEST(RvaToLabel, FindsEveryLabelAndWalksInAddressOrderWhateverTheInsertionOrder)
{
    std::vector<uint32_t> rvas;
    for (uint32_t i = 0; i < 20000; ++i)
        rvas.push_back(0x400000 + i * 0x40);
    rvas.push_back(0);
    rvas.push_back(UINT32_MAX);
    std::shuffle(rvas.begin(), rvas.end(), std::mt19937(36));

    std::deque<Label> storage;
    RvaToLabel labels;
    std::set<uint32_t> inserted;
    for (size_t i = 0; i < rvas.size(); ++i) {
        storage.emplace_back(rvas[i]);
        labels.Insert(&storage.back());
        inserted.insert(rvas[i]);
        if (i % 5000 == 4999 || i == 100) {
            EXPECT_EQ(Walk(labels), std::vector<uint32_t>(inserted.begin(), inserted.end()));
        }
    }
    EXPECT_EQ(labels.size(), rvas.size());
    for (const Label &label : storage) {
        EXPECT_EQ(labels.Find(label.rva), &label);
        EXPECT_EQ(labels.at(label.rva), &label);
        ASSERT_NE(labels.find(label.rva), labels.end());
        EXPECT_EQ(labels.find(label.rva)->second, &label);
    }
    EXPECT_EQ(labels.Find(0x400001), nullptr);
    EXPECT_EQ(labels.find(0x400001), labels.end());
    EXPECT_THROW(labels.at(0x400001), std::out_of_range);

    std::vector<uint32_t> backwards;
    for (auto it = labels.rbegin(); it != labels.rend(); ++it)
        backwards.push_back(it->first);
    std::reverse(backwards.begin(), backwards.end());
    EXPECT_EQ(backwards, Walk(labels));
}

TEST(RvaToLabel, RemoveIfKeepsTheOthersFindableAndInOrder)
{
    std::deque<Label> storage;
    RvaToLabel labels;
    for (uint32_t rva : {0x300u, 0x100u, 0x500u, 0x200u, 0x400u}) {
        storage.emplace_back(rva);
        storage.back().count = int32_t(rva >> 8);
        labels.Insert(&storage.back());
    }
    labels.RemoveIf([](const Label *label) { return label->count % 2 == 0; });
    EXPECT_EQ(Walk(labels), (std::vector<uint32_t>{0x100, 0x300, 0x500}));
    EXPECT_EQ(labels.Find(0x200), nullptr);
    EXPECT_EQ(labels.Find(0x400), nullptr);
    EXPECT_EQ(labels.Find(0x500)->rva, 0x500u);

    storage.emplace_back(0x250);
    labels.Insert(&storage.back());
    EXPECT_EQ(Walk(labels), (std::vector<uint32_t>{0x100, 0x250, 0x300, 0x500}));
    labels.RemoveIf([](const Label *) { return true; });
    EXPECT_TRUE(labels.empty());
    EXPECT_EQ(labels.Find(0x100), nullptr);
}
