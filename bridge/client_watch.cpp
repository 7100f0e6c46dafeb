#include "bridge/client_watch.h"

ClientWatch::Change ClientWatch::Present(bool present, std::uint64_t nowNs) {
  if (!present) {
    if (state_ == State::kAbsent) return Change::kNone;
    state_ = State::kAbsent;
    return Change::kLeft;
  }
  if (state_ == State::kAbsent) {
    state_ = State::kSettling;
    lastSetUpNs_ = nowNs;
    return Change::kArrived;
  }
  if (state_ == State::kSettling && nowNs >= SettledAtNs()) {
    state_ = State::kReady;
    return Change::kSettled;
  }
  return Change::kNone;
}

void ClientWatch::SetUp(std::uint64_t nowNs) {
  if (state_ == State::kSettling) lastSetUpNs_ = nowNs;
}

ClientWatch::Change ClientWatch::Wrote() {
  if (state_ != State::kSettling) return Change::kNone;
  state_ = State::kReady;
  return Change::kSettled;
}
