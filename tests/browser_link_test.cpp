// The host as the browser sees it: frames in, frames and log out, exit codes.
#include <gtest/gtest.h>

#include "host_process.h"

using nlohmann::json;

using namespace std::string_literals;

namespace {

const std::string UNKNOWN_CALL = R"({"call":"nothing"})";

// The build with AddressSanitizer, whose runtime keeps freed memory aside and
// needs descriptors of its own.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool ADDRESS_SANITIZER = true;
#else
constexpr bool ADDRESS_SANITIZER = false;
#endif

// Ends the input and returns the host's exit status once it is gone.
int EndInput(HostProcess& host)
{
    host.CloseInput();
    return host.Wait();
}

// The log holds these lines in this order; the worker's lines may come
// between them, as both threads write to it.
::testing::AssertionResult HasLinesInOrder(const std::string& log, std::initializer_list<std::string_view> lines)
{
    size_t at = 0;
    for (const std::string_view line : lines) {
        at = log.find(std::string(line) + "\n", at);
        if (at == std::string::npos)
            return ::testing::AssertionFailure() << "missing in order: \"" << line << "\"\nlog:\n" << log;
        at += line.size() + 1;
    }
    return ::testing::AssertionSuccess();
}

// A body of exactly `size` bytes that is one valid JSON object.
std::string ObjectOfSize(size_t size)
{
    const std::string head = R"({"call":"pad","pad":")";
    const std::string tail = R"("})";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

}  // namespace

TEST(Framing, LengthAndBodyArrivingInPiecesAreGathered)
{
    HostProcess host;
    const std::string frame = Frame(UNKNOWN_CALL);
    host.SendRaw(frame.substr(0, 1));
    ASSERT_TRUE(host.WaitForLog("Read 1 bytes\n"));
    host.SendRaw(frame.substr(1, 5));   // rest of the prefix and two body bytes
    ASSERT_TRUE(host.WaitForLog("Message size 18d of 16384\n"));
    host.SendRaw(frame.substr(6));
    ASSERT_TRUE(host.WaitForLog("Message: {\"call\":\"nothing\"}\n"));
    EXPECT_EQ(EndInput(host), 0);

    EXPECT_TRUE(HasLinesInOrder(host.Log(), {"Going to read message from stdin 4 bytes", "Read 1 bytes",
                                             "Going to read message from stdin 3 bytes", "Read 3 bytes",
                                             "Message size 18d of 16384",
                                             "Read JSON package: {\"call\":\"nothing\"}", "Parsed message!",
                                             "Obtained lock!", "Pushed message!", "Released lock",
                                             "Pushed JSON notify message", "Message: {\"call\":\"nothing\"}"}));
}

TEST(Framing, TwoFramesInOneBurstAreTwoMessagesInOrder)
{
    HostProcess host;
    host.SendRaw(Frame(R"({"call":"first"})") + Frame(R"({"call":"second"})"));
    EXPECT_EQ(EndInput(host), 0);
    EXPECT_TRUE(HasLinesInOrder(host.Log(), {"CALL present in JSON message: first", "Unknown Call",
                                             "CALL present in JSON message: second", "Unknown Call"}));
    EXPECT_EQ(host.CountInLog("Read 4 bytes\n"), 2u);
}

TEST(Framing, MessageLineIsCompactWithMembersInKeyOrder)
{
    HostProcess host;
    host.SendText("{ \"b\" : 1 ,\n \"a\" : [ 1 , 2.5 ], \"c\": \"caf\xC3\xA9 \\u0001\\t\" }");
    EXPECT_EQ(EndInput(host), 0);
    EXPECT_NE(host.Log().find("Message: {\"a\":[1,2.5],\"b\":1,\"c\":\"caf\xC3\xA9 \\u0001\\t\"}\n"),
              std::string::npos)
        << host.Log();
}

TEST(Limits, BodyOfExactly16384BytesIsAccepted)
{
    HostProcess host;
    host.SendText(ObjectOfSize(16384));
    EXPECT_EQ(EndInput(host), 0);
    EXPECT_EQ(host.CountInLog("Message size 16384d of 16384\n"), 1u);
    EXPECT_EQ(host.CountInLog("CALL present in JSON message: pad\n"), 1u);
}

TEST(Limits, LengthAbove16384EndsTheHostBeforeAnyBodyByte)
{
    // Only the prefix is sent and the input stays open: the host must not wait
    // for a body it is going to refuse.
    for (const uint32_t length : {16385u, 0x80000000u, 0xFFFFFFFFu}) {
        HostProcess host;
        host.SendRaw(LengthPrefix(length));
        EXPECT_EQ(host.Wait(), 1) << length;
        const std::string log = host.Log();
        EXPECT_NE(log.find("Message size too large " + std::to_string(length) + "d > 16384\n"), std::string::npos)
            << log;
        EXPECT_EQ(log.find("Read JSON package"), std::string::npos) << log;
        EXPECT_EQ(log.find("Pushed EXIT message!"), std::string::npos) << log;
    }
}

TEST(EndOfInput, EmptyInputGivesTenEmptyReadsThenOrderlyShutdown)
{
    HostProcess host;
    EXPECT_EQ(EndInput(host), 0);
    const std::string log = host.Log();
    EXPECT_EQ(CountOf(log, "Going to read message from stdin 4 bytes\n"), 10u) << log;
    EXPECT_EQ(CountOf(log, "Read 0 bytes\n"), 10u) << log;
    EXPECT_TRUE(HasLinesInOrder(log, {"Obtained lock!", "Pushed EXIT message!", "Released lock",
                                      "Pushed JSON EXIT notify message", "Done waiting for thread 0"}));
    EXPECT_TRUE(HasLinesInOrder(log, {"EXIT Called"}));
    EXPECT_TRUE(host.ReadAllFrames().empty());
}

TEST(EndOfInput, PartialPrefixIsDroppedAtTheEnd)
{
    HostProcess host;
    host.SendRaw(std::string("\x02\x00", 2));
    EXPECT_EQ(EndInput(host), 0);
    const std::string log = host.Log();
    EXPECT_EQ(CountOf(log, "Going to read message from stdin 2 bytes\n"), 10u) << log;
    EXPECT_EQ(CountOf(log, "Read 0 bytes\n"), 10u) << log;
    EXPECT_NE(log.find("Done waiting for thread 0\n"), std::string::npos) << log;
}

TEST(EndOfInput, InputEndingInsideABodyShutsDownInOrder)
{
    HostProcess host;
    host.SendRaw(LengthPrefix(100) + R"({"call":)");
    EXPECT_EQ(EndInput(host), 0);
    const std::string log = host.Log();
    EXPECT_EQ(log.find("Read JSON package"), std::string::npos) << log;
    EXPECT_NE(log.find("Pushed JSON EXIT notify message\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Done waiting for thread 0\n"), std::string::npos) << log;
}

// On a terminal, Ctrl-D gives a read of 0 bytes while the input stays open, so
// the count of empty reads can be watched going up and back to zero.
TEST(EndOfInput, NineEmptyReadsThenDataKeepTheHostReading)
{
    if (TestingWindowsHosts())
        GTEST_SKIP() << "a pseudo-terminal is no console for a Windows program";
    HostProcess host({.input_on_terminal = true});
    for (int i = 0; i < 9; ++i)
        host.SendEndOfLine();
    ASSERT_TRUE(host.WaitForLog("Read 0 bytes\n", 9));
    host.SendRaw(Frame(R"({"call":"one"})"));
    host.SendEndOfLine();   // hands the frame's bytes over
    ASSERT_TRUE(host.WaitForLog("CALL present in JSON message: one\n"));
    for (int i = 0; i < 9; ++i)
        host.SendEndOfLine();
    ASSERT_TRUE(host.WaitForLog("Read 0 bytes\n", 18));
    host.SendRaw(Frame(R"({"call":"two"})"));
    host.SendEndOfLine();
    ASSERT_TRUE(host.WaitForLog("CALL present in JSON message: two\n"));
    EXPECT_EQ(host.CountInLog("Pushed EXIT message!"), 0u);

    for (int i = 0; i < 10; ++i)
        host.SendEndOfLine();
    EXPECT_EQ(host.Wait(), 0);   // the terminal is still open: ten empty reads alone end it
    EXPECT_EQ(host.CountInLog("Read 0 bytes\n"), 28u);
}

TEST(Dispatch, MessagesThatAreNotRequestsAreLoggedAndGetNoReply)
{
    HostProcess host;
    for (const char* body : {"[1,2]", "\"getDevices\"", "42", "{}", R"({"call":7})", R"({"Call":"getDevices"})"})
        host.SendText(body);
    host.SendText(R"({"call":"exit"})");
    host.SendText(UNKNOWN_CALL);
    EXPECT_EQ(EndInput(host), 0);
    EXPECT_TRUE(host.ReadAllFrames().empty());
    const std::string log = host.Log();
    EXPECT_EQ(CountOf(log, "\nUnknown Message\n"), 6u) << log;
    EXPECT_TRUE(HasLinesInOrder(log, {"JSON Message (OBJ1): [1,2]", "Unknown Message"}));
    // Lower-case "exit" is just another name: the worker goes on.
    EXPECT_TRUE(HasLinesInOrder(log, {"CALL present in JSON message: exit", "Unknown Call",
                                      "CALL present in JSON message: nothing", "Unknown Call"}));
}

TEST(Dispatch, BrowserExitEndsTheWorkerButNotTheReader)
{
    HostProcess host;
    host.SendText(R"({"call":"EXIT"})");
    ASSERT_TRUE(host.WaitForLog("EXIT Called\n"));
    host.SendText(UNKNOWN_CALL);
    host.SendText(R"({"call":"getDevices"})");
    ASSERT_TRUE(host.WaitForLog("Message: {\"call\":\"getDevices\"}\n"));
    EXPECT_EQ(EndInput(host), 0);
    const std::string log = host.Log();
    EXPECT_EQ(CountOf(log, "CALL present in JSON message:"), 1u) << log;
    EXPECT_EQ(CountOf(log, "Pushed JSON EXIT notify message\n"), 1u) << log;
    EXPECT_NE(log.find("Done waiting for thread 0\n"), std::string::npos) << log;
    EXPECT_TRUE(host.ReadAllFrames().empty());
}

TEST(Dispatch, FramesAfterExitAreNotKept)
{
    if (ADDRESS_SANITIZER)
        GTEST_SKIP() << "AddressSanitizer keeps freed memory aside";
    HostProcess host;
    host.Send({{"call", "EXIT"}});
    // Each body parses into a value of about 64 KB: 4000 numbers.
    std::string numbers = "[0";
    for (int i = 1; i < 4000; ++i)
        numbers += ",0";
    numbers += "]";
    std::string burst;
    for (int i = 0; i < 250; ++i)
        burst += Frame(numbers);
    burst += Frame(UNKNOWN_CALL);
    long resident[2];
    for (size_t round = 0; round < 2; ++round) {
        host.SendRaw(burst);
        ASSERT_TRUE(host.WaitForLog("Message: " + UNKNOWN_CALL + "\n", round + 1));
        resident[round] = host.ResidentKiB();
    }
    // Kept, the second round's values alone would take 16 MB.
    EXPECT_LT(resident[1] - resident[0], 4 * 1024) << resident[0] << " KiB, then " << resident[1] << " KiB";
    EXPECT_EQ(EndInput(host), 0);
}

TEST(BadInput, InvalidJsonIsDroppedAndReadingGoesOn)
{
    HostProcess host;
    const std::string bodies[] = {"", "{\"call\":", "{} x", "1e999", "\xFF", "\"\xC3\""};
    for (const std::string& body : bodies)
        host.SendText(body);
    host.SendText(UNKNOWN_CALL);
    // The text ends at a NUL byte, whatever follows it.
    host.SendText("{\"call\":\"cut\"}\0garbage"s);
    EXPECT_EQ(EndInput(host), 0);
    const std::string log = host.Log();
    EXPECT_EQ(CountOf(log, "Dropped message: not valid JSON: "), std::size(bodies)) << log;
    EXPECT_EQ(CountOf(log, "Parsed message!\n"), 2u) << log;
    EXPECT_TRUE(HasLinesInOrder(log, {"CALL present in JSON message: nothing", "CALL present in JSON message: cut",
                                      "CALL present in JSON message: EXIT"}));
}

TEST(BadInput, NestingBeyondTheLimitIsDroppedBeforeItIsBuilt)
{
    // As deep as 16384 bytes go, and the deepest the host takes. Brackets in
    // strings do not count.
    HostProcess host;
    host.SendText(std::string(8192, '[') + std::string(8192, ']'));
    host.SendText(std::string(513, '{') + std::string(513, '}'));
    host.SendText(std::string(512, '[') + std::string(512, ']'));
    host.SendText(R"({"call":"nested","text":"[[[[)" + std::string(1000, '[') + R"("})");
    EXPECT_EQ(EndInput(host), 0);
    const std::string log = host.Log();
    EXPECT_EQ(CountOf(log, "Dropped message: nested deeper than 512\n"), 2u) << log;
    EXPECT_TRUE(HasLinesInOrder(log, {"Unknown Message", "CALL present in JSON message: nested"}));
}

// Whatever standard error is, read or not, the host answers and ends at the
// end of its input; a log that is read, however slowly, loses no line.
TEST(StandardStreams, NoStandardErrorHoldsTheHostAndAReadLogLosesNothing)
{
    const bool linux = !TestingWindowsHosts();
    struct Situation {
        const char* name;
        HostOptions options;
        bool whole_log;
        bool applies;
        bool drips = false;
    };
    const Situation situations[] = {
        {"a pipe read 4 KiB a millisecond", {.log_read_slowly = true}, true, true},
        // Windows tells the host nothing of what its reader took, so there
        // this reader looks stopped while a write waits for a page.
        {"a pipe of a page read 200 bytes every 0.1 s", {.log_read_in_drips = true}, true, linux, true},
        {"a pipe nobody reads", {.log_unread = true}, false, true},
        {"a pipe nobody reads, 4 descriptors at most", {.log_unread = true, .descriptor_limit = 4}, false,
         linux && !ADDRESS_SANITIZER},
        {"a tostop terminal, the host in the background", {.log_on_stopping_terminal = true}, true, linux},
        {"/dev/null", {.log_to_null = true}, false, true},
        {"closed", {.close_error = true}, false, linux},
    };
    // Three log lines carry each body: about 1.8 MB of log, far more than a
    // pipe holds, before the one reply. The reader in drips gets 10 small
    // bodies, 5 KB of log: the writer waits 2 s for each page, longer than a
    // second, like 420 requests at that pace but in 3 s rather than minutes.
    const size_t calls = 150, drip_calls = 10;
    std::string burst, drip_burst;
    for (size_t i = 0; i < calls; ++i)
        burst += Frame(ObjectOfSize(4000));
    for (size_t i = 0; i < drip_calls; ++i)
        drip_burst += Frame(ObjectOfSize(30));
    burst += Frame(R"({"call":"getDevices"})");
    drip_burst += Frame(R"({"call":"getDevices"})");
    for (const Situation& situation : situations) {
        if (!situation.applies)
            continue;
        SCOPED_TRACE(situation.name);
        HostProcess host(situation.options);
        host.SendRaw(situation.drips ? drip_burst : burst);
        const auto reply = host.ReadFrame();
        ASSERT_TRUE(reply);
        EXPECT_EQ((*reply)["call"], "getDevices");
        EXPECT_EQ(EndInput(host), 0);
        if (situation.whole_log) {
            EXPECT_EQ(host.CountInLog("CALL present in JSON message: pad\n"), situation.drips ? drip_calls : calls);
            EXPECT_EQ(host.CountInLog("Done waiting for thread 0\n"), 1u);
            EXPECT_EQ(host.CountInLog("Dropped"), 0u);
        }
    }
}

TEST(StandardStreams, LogBeyondWhatTheHostStoresIsDroppedAndCounted)
{
    // About 6 MB of log while nobody reads it.
    HostProcess host({.log_unread = true});
    for (int i = 0; i < 130; ++i)
        host.SendText(ObjectOfSize(16384));
    host.Send({{"call", "getDevices"}});
    ASSERT_TRUE(host.ReadFrame());
    host.ReadLog();
    EXPECT_EQ(EndInput(host), 0);
    // A reader that reads gets all that was stored, up to the host's last
    // line or the count that it too was dropped.
    const std::string log = host.Log();
    EXPECT_NE(log.find(" log writes: standard error was full\n"), std::string::npos);
    EXPECT_TRUE(log.ends_with("Done waiting for thread 0\n") || log.ends_with(" log writes: standard error was full\n"))
        << log.substr(log.size() - std::min<size_t>(log.size(), 300));
}

TEST(StandardStreams, MissingStreamEndsTheHostWithMinusOne)
{
    if (TestingWindowsHosts())
        GTEST_SKIP() << "Wine gives a Windows program standard handles of its own for closed descriptors";
    HostProcess without_input({.close_input = true});
    EXPECT_EQ(without_input.Wait(), 255);
    EXPECT_EQ(without_input.Log(), "Cannot set mode to BINARY: Bad file descriptor\n");

    HostProcess without_output({.close_output = true});
    EXPECT_EQ(without_output.Wait(), 255);
    EXPECT_EQ(without_output.Log(), "Cannot set mode to BINARY: Bad file descriptor\n");
}

TEST(StandardStreams, BytesPassUnchanged)
{
    // A length of 0x1A, the end-of-file character of text mode, before a body
    // holding CR LF; then a body holding 0x1A itself (no valid JSON).
    std::string crlf = "{\"call\":\r\n\"crlf\"}";
    crlf.insert(crlf.size() - 1, 0x1A - crlf.size(), ' ');
    const std::string end_of_file = "\"\x1A\"";
    HostProcess host;
    host.SendText(crlf);
    host.SendText(end_of_file);
    host.SendText(UNKNOWN_CALL);
    EXPECT_EQ(EndInput(host), 0);
    EXPECT_TRUE(HasLinesInOrder(host.Log(), {"Message size 26d of 16384", "Read JSON package: " + crlf,
                                             "Read JSON package: " + end_of_file,
                                             "CALL present in JSON message: nothing"}));
    EXPECT_EQ(host.CountInLog("CALL present in JSON message: crlf\n"), 1u);
}
