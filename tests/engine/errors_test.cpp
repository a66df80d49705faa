#include <gtest/gtest.h>

#include "engine/dataset/dberror.h"
#include "engine/errors.h"

using namespace engine;

TEST(EngineErrors, CodesTestedByValueKeepTheirNumbers) {
  EXPECT_EQ(ErrEndOfList, 8706);
  EXPECT_EQ(ErrDestinationExists, 13057);
  EXPECT_EQ(ErrAnswerTableExists, 13060);
}

TEST(EngineErrors, EveryCodeHasAText) {
  EXPECT_EQ(GetErrorString(Ok), "");
  for (Result code : {ErrNotFound, ErrCorruptHeader, ErrPasswordRequired, ErrKeyViolation,
                      ErrEndOfList, ErrDestinationExists})
    EXPECT_FALSE(GetErrorString(code).empty()) << code;
  EXPECT_EQ(GetErrorString(0x7777), "Engine error 30583.");
}

TEST(EngineErrors, DetailOfTheLastFailureReachesTheException) {
  ClearLastError();
  EXPECT_NO_THROW(Check(Ok));
  Result r = Fail(ErrCorruptHeader, "/data/ORDERS.DB: header size 12 is too small");
  EXPECT_EQ(LastErrorCode(), ErrCorruptHeader);
  try {
    Check(r);
    FAIL() << "no exception";
  } catch (const EDBEngineError& e) {
    EXPECT_EQ(e.code(), ErrCorruptHeader);
    EXPECT_STREQ(e.what(), "/data/ORDERS.DB: header size 12 is too small");
  }
  Fail(ErrNotFound, "");
  EXPECT_EQ(LastErrorMessage(), GetErrorString(ErrNotFound));
}
