#include "base/FormatBounded.h"
#include "base/LogLine.h"
#include "tests/support/SystemTexts.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace corvantile {
namespace {

constexpr wchar_t kGuard = L'#';

template <std::size_t N>
std::array<wchar_t, N> Guarded() {
    std::array<wchar_t, N> buffer;
    buffer.fill(kGuard);
    return buffer;
}

TEST(FormatBounded, CapacityZeroAndOversizedCapacityAreInvalid) {
    auto buffer = Guarded<4>();
    EXPECT_EQ(FormatBounded(buffer.data(), 0, L"abc"), kFormatInvalidArgument);
    EXPECT_EQ(buffer[0], kGuard) << "capacity 0 must not touch the buffer";

    EXPECT_EQ(FormatBounded(buffer.data(), kMaxFormatCapacity + 1, L"abc"), kFormatInvalidArgument);
    EXPECT_EQ(buffer[0], L'\0');
    EXPECT_EQ(buffer[1], kGuard);
}

TEST(FormatBounded, FitsExactlyOrIsCutToCapacityLessOne) {
    const std::wstring nineteen(19, L'n');
    const std::wstring twentyFive(25, L't');

    auto exact = Guarded<21>();
    EXPECT_EQ(FormatBounded(exact.data(), 20, L"%s", nineteen.c_str()), kFormatOk);
    EXPECT_EQ(std::wstring(exact.data()), nineteen);
    EXPECT_EQ(exact[20], kGuard);

    auto cut = Guarded<21>();
    EXPECT_EQ(FormatBounded(cut.data(), 20, L"%s", twentyFive.c_str()), kFormatInsufficientBuffer);
    EXPECT_EQ(std::wstring(cut.data()), twentyFive.substr(0, 19));
    EXPECT_EQ(cut[20], kGuard) << "nothing may be written past the capacity";

    auto shorter = Guarded<21>();
    EXPECT_EQ(FormatBounded(shorter.data(), 20, L"a%sc", L"b"), kFormatOk);
    EXPECT_EQ(std::wstring(shorter.data()), L"abc");

    auto one = Guarded<2>();
    EXPECT_EQ(FormatBounded(one.data(), 1, L"x"), kFormatInsufficientBuffer);
    EXPECT_EQ(one[0], L'\0');
    EXPECT_EQ(FormatBounded(one.data(), 1, L""), kFormatOk);
}

TEST(FormatBounded, ConversionsOfTheProgramsTexts) {
    wchar_t buffer[512];
    EXPECT_EQ(FormatBounded(buffer, 512, texts::kIntroFormat, L"Example Server 10", L"2.0.0.100"), kFormatOk);
    EXPECT_EQ(texts::Intro(L"Example Server 10", L"2.0.0.100"), buffer);

    FormatBounded(buffer, 512, L"MsiApplyPatch failed with error=%u", 4294967295U);
    EXPECT_EQ(texts::ApplyFailed(4294967295U), buffer);

    FormatBounded(buffer, 512, L"%02hu:%02hu:%02hu.%03hu", 9, 5, 3, 7);
    EXPECT_STREQ(buffer, L"09:05:03.007");
    // %hu takes the low 16 bits of what it is given.
    FormatBounded(buffer, 512, L"%hu|%d|%5d|%-3s|%x|%%|%c", 65536 + 12, -42, -7, L"a", 255U, L'z');
    EXPECT_STREQ(buffer, L"12|-42|   -7|a  |ff|%|z");
    FormatBounded(buffer, 512, L"%05d", -42);
    EXPECT_STREQ(buffer, L"-0042");
}

TEST(FormatBounded, UnknownConversionIsReportedAsInsufficientBuffer) {
    auto buffer = Guarded<8>();
    EXPECT_EQ(FormatBounded(buffer.data(), 8, L"ab%q"), kFormatInsufficientBuffer);
    EXPECT_EQ(std::wstring(buffer.data()), L"ab");
    EXPECT_EQ(buffer[7], L'\0');
    EXPECT_EQ(FormatBounded(buffer.data(), 8, L"ab%"), kFormatInsufficientBuffer);
}

TEST(LogLine, TimestampTwoSpacesTextAndCrLf) {
    EXPECT_EQ(FormatLogLine({9, 5, 3, 7}, texts::kExtracting),
              std::wstring(L"09:05:03.007  ") + texts::kExtracting + L"\r\n");
    EXPECT_EQ(FormatLogLine({23, 59, 59, 999}, L""), L"23:59:59.999  \r\n");
    // A message is written as it comes, line breaks and percent signs included.
    EXPECT_EQ(FormatLogLine({0, 0, 0, 0}, L"a\r\nb %s"), L"00:00:00.000  a\r\nb %s\r\n");
}

}  // namespace
}  // namespace corvantile
