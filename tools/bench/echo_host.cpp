// bridge-echo-host [--echoes]: the least any host pays for a round trip. It
// reads a frame from standard input and answers it in one write, until the
// input ends. A "write" gets the host's reply to it, byte for byte (with
// --echoes also the "receive" an echoing device brings), so that a browser
// carries the same messages as with the host; any other frame is written
// back. Other arguments, such as the ones a browser gives its hosts, are
// ignored.
#include <string>
#include <string_view>

#include "whole_io.h"

namespace {

const std::string_view WRITE = R"({"call":"write","data":[)";
const std::string_view SENT = R"({"call":"write","response":{"success":"Sent"}})";

}  // namespace

int main(int argc, char** argv)
{
    bool echoes = false;
    for (int i = 1; i < argc; ++i)
        echoes = echoes || std::string_view(argv[i]) == "--echoes";
    std::string body, reply;
    while (ReadFrame(0, body)) {
        if (body.starts_with(WRITE) && body.ends_with("]}")) {
            reply = Frame(SENT);
            // The device echoes the report: report id 1, then the data.
            if (echoes)
                reply += Frame(R"({"call":"receive","response":[1,)" +
                               body.substr(WRITE.size(), body.size() - WRITE.size() - 2) + "]}");
        } else {
            reply = Frame(body);
        }
        if (!WriteExactly(1, reply.data(), reply.size()))
            return 1;
    }
    return 0;
}
