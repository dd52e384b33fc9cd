// The worker's wait, and the conversion of device strings to UTF-8.
#include <gtest/gtest.h>

#include <stdexcept>

#include <poll.h>
#include <unistd.h>

#include "platform.h"
#include "wide_text.h"

namespace {

bool Readable(int fd)
{
    pollfd ready = {fd, POLLIN, 0};
    return poll(&ready, 1, 0) == 1;
}

// A pipe stands in for the device: readable while a report waits in it.
struct FakeDevice {
    int fds[2];
    FakeDevice() { EXPECT_EQ(pipe(fds), 0); }
    ~FakeDevice()
    {
        close(fds[0]);
        if (fds[1] >= 0)
            close(fds[1]);
    }
    void Report() { EXPECT_EQ(write(fds[1], "r", 1), 1); }
    void Collect()
    {
        char report;
        EXPECT_EQ(read(fds[0], &report, 1), 1);
    }
    void Unplug()
    {
        close(fds[1]);
        fds[1] = -1;
    }
};

}  // namespace

TEST(Wait, SemaphoreWinsAndTheDeviceSignalSurvivesForTheNextWait)
{
    const int semaphore = CreateCountingSemaphore();
    ASSERT_GT(semaphore, 2);
    FakeDevice device;
    device.Report();
    PostSemaphore(semaphore);

    EXPECT_EQ(WaitForSemaphoreOr(semaphore, device.fds[0]), Woken::SEMAPHORE);
    EXPECT_FALSE(Readable(semaphore));   // exactly one unit taken
    EXPECT_EQ(WaitForSemaphoreOr(semaphore, device.fds[0]), Woken::OTHER);
    EXPECT_EQ(WaitForSemaphoreOr(semaphore, device.fds[0]), Woken::OTHER);   // until collected
    device.Collect();

    PostSemaphore(semaphore);
    EXPECT_EQ(WaitForSemaphoreOr(semaphore, -1), Woken::SEMAPHORE);
    close(semaphore);
}

TEST(Wait, UnpluggedDeviceEndsTheWait)
{
    const int semaphore = CreateCountingSemaphore();
    FakeDevice device;
    device.Unplug();
    EXPECT_EQ(WaitForSemaphoreOr(semaphore, device.fds[0]), Woken::OTHER);
    close(semaphore);
}

TEST(Wait, EveryReleaseOfALargeBacklogGivesOneWake)
{
    const int semaphore = CreateCountingSemaphore();
    const int backlog = 5000;   // well past the 1024 a Windows semaphore would hold
    for (int i = 0; i < backlog; ++i)
        PostSemaphore(semaphore);
    int wakes = 0;
    while (Readable(semaphore) && WaitForSemaphoreOr(semaphore, -1) == Woken::SEMAPHORE)
        ++wakes;
    EXPECT_EQ(wakes, backlog);
    close(semaphore);
}

TEST(WorkerThread, WaitReportsEndOrTimeout)
{
    static int release[2];
    ASSERT_EQ(pipe(release), 0);
    const auto blocked = BeginThread([](void*) {
        char byte;
        EXPECT_EQ(read(release[0], &byte, 1), 1);
    });
    EXPECT_EQ(WaitForThreadEnd(blocked, 10), THREAD_RUNNING);
    ASSERT_EQ(write(release[1], "x", 1), 1);
    EXPECT_EQ(WaitForThreadEnd(blocked, 60000), THREAD_ENDED);
    close(release[0]);
    close(release[1]);
}

TEST(TextConversion, CharactersUpToFFFFBecomeUtf8)
{
    EXPECT_EQ(wstring_to_utf8(L""), "");
    EXPECT_EQ(wstring_to_utf8(L"A\u00e9\u20ac"), "A\xC3\xA9\xE2\x82\xAC");
    EXPECT_EQ(wstring_to_utf8(std::wstring(1, 0xFFFF)), "\xEF\xBF\xBF");
    EXPECT_EQ(wstring_to_utf8(L"\uFEFFx"), "\xEF\xBB\xBFx");   // a byte-order mark is just a character
    EXPECT_EQ(wstring_to_utf8(std::wstring(1, 0)), std::string(1, '\0'));
}

TEST(TextConversion, SurrogatesAndCharactersAboveFFFFMakeTheWholeStringInvalid)
{
    EXPECT_EQ(wstring_to_utf8(L"smile \U0001F600"), "INVALIDSTRING");
    EXPECT_EQ(wstring_to_utf8(std::wstring{L'a', wchar_t(0xD83D), wchar_t(0xDE00)}), "INVALIDSTRING");
    EXPECT_EQ(wstring_to_utf8(std::wstring{L'a', wchar_t(0xDC00), L'b'}), "INVALIDSTRING");
    EXPECT_EQ(wstring_to_utf8(std::wstring{wchar_t(-1)}), "INVALIDSTRING");
}

TEST(TextConversion, Utf8DecodesToOneUnitPerCharacterOrThrows)
{
    EXPECT_EQ(utf8_to_wstring("A\xC3\xA9\xEF\xBF\xBF"), (std::wstring{L'A', wchar_t(0xE9), wchar_t(0xFFFF)}));
    EXPECT_EQ(utf8_to_wstring(""), L"");
    for (const char* bad : {"\xF0\x9F\x98\x80", "\xC3", "\xE2\x82", "\x80", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80"})
        EXPECT_THROW(utf8_to_wstring(bad), std::range_error) << bad;
}

TEST(TextConversion, LogTextIsUtf8WhateverTheUnits)
{
    EXPECT_EQ(LogText(nullptr), "(null)");
    EXPECT_EQ(LogText(L"caf\u00e9 \U0001F600"), "caf\xC3\xA9 \xF0\x9F\x98\x80");
    const wchar_t lone[] = {L'a', wchar_t(0xDC00), 0};
    EXPECT_EQ(LogText(lone), "a\xEF\xBF\xBD");
}
