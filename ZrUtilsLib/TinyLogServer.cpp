#include "ZrUtilsLib/TinyLogServer.h"

namespace ZrUtilsLib {

TinyLogServer::TinyLogServer(const char*) : mLimitLevel(0) {}

TinyLogServer::~TinyLogServer() = default;

void TinyLogServer::LoadConfig() {}

bool TinyLogServer::IsPriorityEnabled(const char*, int) { return false; }

void TinyLogServer::Log(int, const char*, unsigned int, const char*, const char*, const char*) {}

void TinyLogServer::SetLimitLevel(int level) { mLimitLevel.store(level, std::memory_order_relaxed); }

}  // namespace ZrUtilsLib
