#pragma once
// Another process for tests of what two programs do to one file: the child runs a function
// and steps in turn with the parent through two pipes.

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <functional>
#include <stdexcept>

namespace testproc {

class Child {
  public:
    // What the child sees of the parent: it says when it reached a step and waits to go on.
    class Turns {
      public:
        Turns(int in, int out) : in_(in), out_(out) {}
        void reached() const {
            const char c = 'r';
            if (::write(out_, &c, 1) != 1) std::_Exit(90);
        }
        void awaitGo() const {
            char c;
            if (::read(in_, &c, 1) != 1) std::_Exit(91);
        }

      private:
        int in_, out_;
    };

    // Runs `body` in a new process; its return value is the child's exit status, an exception
    // is status 99 with its text on standard error.
    explicit Child(const std::function<int(const Turns&)>& body) {
        int toChild[2], toParent[2];
        if (::pipe(toChild) != 0 || ::pipe(toParent) != 0) throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            ::close(toChild[1]);
            ::close(toParent[0]);
            int status = 99;
            try {
                status = body(Turns(toChild[0], toParent[1]));
            } catch (const std::exception& e) {
                std::fprintf(stderr, "child: %s\n", e.what());
            }
            std::fflush(nullptr);
            std::_Exit(status);  // no destructors of the parent's objects, no test reports
        }
        ::close(toChild[0]);
        ::close(toParent[1]);
        out_ = toChild[1];
        in_ = toParent[0];
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        ::close(out_);  // a child waiting for its turn ends
        join();
        ::close(in_);
    }

    // Waits until the child reached its next step; false when it ended instead.
    bool awaitReached() const {
        char c;
        return ::read(in_, &c, 1) == 1;
    }
    void go() const {
        const char c = 'g';
        if (::write(out_, &c, 1) != 1) throw std::runtime_error("the child is gone");
    }
    // The child's exit status (-1 when it did not exit normally).
    int join() {
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_) {
            pid_ = -1;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        return status_;
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    int status_ = -1;
};

}  // namespace testproc
