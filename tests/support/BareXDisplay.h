// A virtual X display (Xvfb + openbox) started before any Qt object exists: a QApplication needs
// the display when it is made, and QProcess needs an event loop, so the servers are forked here.
// Thread: the process's main thread, before the QApplication.
#pragma once

#include <xcb/xcb.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace selvina::testing {

inline pid_t spawn(std::vector<const char*> argv)
{
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(argv[0], const_cast<char* const*>(argv.data()));
        ::_exit(127);
    }
    return pid;
}

inline bool runNow(const std::vector<const char*>& argv)
{
    int status = 0;
    const pid_t pid = spawn(argv);
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Xvfb and openbox for a process whose QApplication needs the display at once.
class BareXDisplay {
public:
    explicit BareXDisplay(const char* screen)
    {
        // The loser of two servers started at once on the same number exits without a number.
        std::string number;
        for (int attempt = 0; attempt < 5 && number.empty(); ++attempt)
            number = startServer(screen);
        if (number.empty())
            return;
        ::setenv("DISPLAY", (":" + number).c_str(), 1);
        m_wm = spawn({"openbox", "--sm-disable"});
        // The window manager is up once it has announced itself on the root window.
        xcb_connection_t* x = xcb_connect(nullptr, nullptr);
        if (xcb_connection_has_error(x) == 0) {
            const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(x)).data->root;
            auto* a = xcb_intern_atom_reply(x, xcb_intern_atom(x, 0, 24, "_NET_SUPPORTING_WM_CHECK"), nullptr);
            for (int i = 0; a != nullptr && i < 600 && !m_ok; ++i) {
                if (::waitpid(m_wm, nullptr, WNOHANG) == m_wm) { // ended without a word
                    m_wm = -1;
                    break;
                }
                auto* p = xcb_get_property_reply(x, xcb_get_property(x, 0, root, a->atom, XCB_ATOM_WINDOW, 0, 1), nullptr);
                m_ok = p != nullptr && xcb_get_property_value_length(p) == 4;
                std::free(p);
                if (!m_ok)
                    ::usleep(50'000);
            }
            std::free(a);
        }
        xcb_disconnect(x);
    }
    ~BareXDisplay()
    {
        for (pid_t pid : {m_wm, m_x})
            if (pid > 0) {
                ::kill(pid, SIGTERM);
                ::waitpid(pid, nullptr, 0);
            }
    }
    bool ok() const { return m_ok; }

private:
    // -noreset: by default the server resets when its last client leaves, and a client connecting
    // during the reset is turned away ("Failed to open the display"); a window manager started
    // while a probe of the root window came and went was turned away so about once in 40 starts.
    std::string startServer(const char* screen)
    {
        if (m_x > 0) {
            ::kill(m_x, SIGTERM);
            ::waitpid(m_x, nullptr, 0);
        }
        int pipe[2];
        if (::pipe(pipe) != 0)
            return {};
        const std::string fd = std::to_string(pipe[1]);
        m_x = spawn({"Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen, "-nolisten", "tcp", "-noreset"});
        ::close(pipe[1]);
        std::string number;
        char c = 0;
        while (::read(pipe[0], &c, 1) == 1 && c != '\n')
            number += c;
        ::close(pipe[0]);
        return number;
    }

    pid_t m_x = -1, m_wm = -1;
    bool m_ok = false;
};

} // namespace selvina::testing
