// Power services for tests: grants or refuses the right and the request as
// told, records what was asked, and counts the sleep locks that are held.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/power/power.h"

namespace mivo::testing {

class FakePower final : public platform::IPowerSystem {
 public:
  bool grant = true;   // answer of ObtainShutdownRight
  bool accept = true;  // answer of ExitWindowsEx
  bool inhibit = true; // InhibitSleep gives a lock
  std::vector<unsigned> rightsAsked;
  std::vector<unsigned> requests;
  std::function<void()> onRequest;  // called as the request arrives
  int locksHeld = 0;

  bool ObtainShutdownRight(unsigned flags, std::string* why) override {
    rightsAsked.push_back(flags);
    if (!grant) *why = "refused by the test";
    return grant;
  }
  bool ExitWindowsEx(unsigned flags, std::string* error) override {
    requests.push_back(flags);
    if (onRequest) onRequest();
    if (!accept) *error = "refused by the test";
    return accept;
  }
  std::unique_ptr<platform::ISleepInhibitor> InhibitSleep(const std::string&, const std::string&,
                                                          std::string* error) override {
    if (!inhibit) {
      *error = "no logind in the test";
      return nullptr;
    }
    return std::make_unique<Lock>(locksHeld);
  }

 private:
  class Lock final : public platform::ISleepInhibitor {
   public:
    explicit Lock(int& held) : m_held(held) { ++m_held; }
    ~Lock() override { --m_held; }

   private:
    int& m_held;
  };
};

}  // namespace mivo::testing
