#include <gtest/gtest.h>
TEST(AuraPlay, Placeholder) {}
