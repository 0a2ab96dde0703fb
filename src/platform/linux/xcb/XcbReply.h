// Waiting for an X reply with a deadline: a server that stops answering (stopped, swapping, a
// stuck compositor) costs the caller that long at most instead of blocking its thread for ever.
// Thread: the connection's user.
#pragma once

#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <poll.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <utility>

namespace selvina::platform {

struct XcbFree {
    void operator()(void* p) const { std::free(p); }
};
template <typename T>
using XcbPtr = std::unique_ptr<T, XcbFree>;

enum class XcbWait { answered, failed, timedOut, lost };

// The reply to `sequence`, or why there is none; `errorCode` gets the X error of a refusal.
template <typename R>
std::pair<XcbPtr<R>, XcbWait> xcbReply(xcb_connection_t* c, unsigned int sequence,
                                       std::chrono::steady_clock::time_point deadline, int* errorCode = nullptr)
{
    xcb_flush(c);
    for (;;) {
        void* reply = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (xcb_poll_for_reply(c, sequence, &reply, &error)) {
            if (error) {
                if (errorCode)
                    *errorCode = error->error_code;
                std::free(error);
                std::free(reply);
                return {nullptr, XcbWait::failed};
            }
            if (!reply)
                return {nullptr, xcb_connection_has_error(c) ? XcbWait::lost : XcbWait::failed};
            return {XcbPtr<R>(static_cast<R*>(reply)), XcbWait::answered};
        }
        if (xcb_connection_has_error(c))
            return {nullptr, XcbWait::lost};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return {nullptr, XcbWait::timedOut};
        pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&fd, 1, int(left.count()));
    }
}

} // namespace selvina::platform
