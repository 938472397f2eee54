// SPDX-License-Identifier: MIT
#include "app/core/errortexts.h"

#include <gtest/gtest.h>

TEST(ErrorTexts, TableEntriesAndDecimalFallback) {
    EXPECT_EQ(core::ErrorMessage(1), QStringLiteral("Ошибка (Прибор не отвечает)"));
    EXPECT_EQ(
        core::ErrorMessage(19),
        QStringLiteral("Ошибка (Метка времени в архивной записи не совпадает с запрошенной)"));
    EXPECT_EQ(core::ErrorMessage(42), QStringLiteral("Ошибка (42)"));
    EXPECT_EQ(core::ErrorMessage(-1), QStringLiteral("Ошибка (-1)"));
    EXPECT_EQ(core::ErrorText(0), QStringLiteral("Команда выполнена успешно"));
}
