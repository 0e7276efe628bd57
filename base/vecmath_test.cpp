#include "base/vecmath.h"

#include <gtest/gtest.h>

namespace fastlic {
namespace {

TEST(Point, ArithmeticSetsOrCopiesWeight) {
    EXPECT_EQ(Point(), Point(0, 0, 0, 1));
    const Point p(1, 2, 3, 7);
    Point q = p;
    q += Vector(1, 1, 1);
    EXPECT_EQ(q, Point(2, 3, 4, 1));
    EXPECT_EQ(p + Vector(1, 1, 1), Point(2, 3, 4, 1));
    EXPECT_EQ(p * 2.0, Point(2, 4, 6, 7));  // w copied, not scaled
    EXPECT_EQ(p + Point(1, 1, 1, 5), Point(2, 3, 4, 1));
}

TEST(Vector, DivisionMultipliesByRoundedReciprocal) {
    EXPECT_EQ((Vector(5, 0, 0) / 3.0).x, 1.6666666666666665);  // 5.0 / 3.0 rounds up
    EXPECT_EQ(normalize(Vector(3, 4, 0)), Vector(0.6000000000000001, 0.8, 0));
    EXPECT_EQ(length(Vector(3, 4, 0)), 5.0);
    EXPECT_EQ(lengthSquared(Vector(1, 2, 2)), 9.0);
}

TEST(Vector, NearZeroTestsTheSquaredLength) {
    EXPECT_TRUE(isNearZero(Vector(9e-7, 0, 0)));
    EXPECT_FALSE(isNearZero(Vector(1.1e-6, 0, 0)));
}

}  // namespace
}  // namespace fastlic
