#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

// Typed answers for a prompt and a capture of what it prints.
class TestConsole {
public:
    explicit TestConsole(std::string const& typed = "") {
        mIn = std::tmpfile();
        std::fwrite(typed.data(), 1, typed.size(), mIn);
        std::rewind(mIn);
        mOut = open_memstream(&mBuffer, &mSize);
    }
    ~TestConsole() {
        std::fclose(mIn);
        std::fclose(mOut);
        std::free(mBuffer);
    }
    TestConsole(TestConsole const&) = delete;
    TestConsole& operator=(TestConsole const&) = delete;

    FILE* In() { return mIn; }
    FILE* Out() { return mOut; }

    std::string Printed() {
        std::fflush(mOut);
        return std::string(mBuffer, mSize);
    }

    // What the prompts left unread.
    std::string Unread() {
        std::string rest;
        for (int c = std::getc(mIn); c != EOF; c = std::getc(mIn)) {
            rest.push_back(static_cast<char>(c));
        }
        return rest;
    }

private:
    FILE* mIn = nullptr;
    FILE* mOut = nullptr;
    char* mBuffer = nullptr;
    size_t mSize = 0;
};
