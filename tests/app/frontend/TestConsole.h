#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "KvUtilsLib/Network/IDriverEnabled.h"

// Typed answers for a prompt and a capture of what it prints.
class TestConsole {
public:
    explicit TestConsole(std::string const& typed = "")
        : mIn(std::tmpfile()), mOut(open_memstream(&mBuffer, &mSize)) {
        std::fwrite(typed.data(), 1, typed.size(), mIn);
        std::rewind(mIn);
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
        std::string rest(1 << 16, '\0');
        rest.resize(std::fread(rest.data(), 1, rest.size(), mIn));
        return rest;
    }

private:
    FILE* mIn;
    char* mBuffer = nullptr;
    size_t mSize = 0;
    FILE* mOut;
};

// A driver probe with a chosen answer, counting how it is used.
class FakeDriver : public KvUtilsLib::Network::IDriverEnabled {
public:
    explicit FakeDriver(bool enabled, unsigned int openCode = ZrUtilsLib::OK)
        : mEnabled(enabled), mOpenCode(openCode) {}
    ZrUtilsLib::Result Open() override {
        ++opens;
        return mOpenCode;
    }
    ZrUtilsLib::Result Close() override {
        ++closes;
        return ZrUtilsLib::OK;
    }
    ZrUtilsLib::Result IsDriverEnabled(const char* adapterName, bool& enabled) override {
        lastAdapter = adapterName;
        enabled = mEnabled;
        return ZrUtilsLib::OK;
    }
    ZrUtilsLib::Result GetDriverVersion(ZrUtilsLib::String&) override { return ZrUtilsLib::OK; }

    int opens = 0;
    int closes = 0;
    std::string lastAdapter;

private:
    bool mEnabled;
    unsigned int mOpenCode;
};
