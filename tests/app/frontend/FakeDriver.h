#pragma once

#include <string>

#include "KvUtilsLib/Network/IDriverEnabled.h"

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
    ZrUtilsLib::Result GetDriverVersion(ZrUtilsLib::String& version) override {
        version = "1, 2, 3, 4";
        return ZrUtilsLib::OK;
    }

    int opens = 0;
    int closes = 0;
    std::string lastAdapter;

private:
    bool mEnabled;
    unsigned int mOpenCode;
};
