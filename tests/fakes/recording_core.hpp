// The one test double of CoreOperations: records every call, answers as a running Core would
// unless a hook gives another outcome, and can hold pings until the test releases them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "service/hub/api/router.hpp"
#include "service/hub/api/wire.hpp"
#include "service/hub/core_operations.hpp"

namespace drovane::hub::testing {

class RecordingCore final : public CoreOperations {
  public:
    struct Call {
        std::string operation;  // "ping", "start", "stop", "shutdown"
        std::vector<std::string> arguments;
        bool operator==(const Call&) const = default;
    };

    // The default outcomes.
    static constexpr const char* kHelperPath = "Z:\\helper\\DrovaneHelper.exe";
    static constexpr int kPid = 4242;

    PingOutcome ping_helper(std::string core_sha256) override {
        {
            std::unique_lock lock(mutex_);
            record_locked({"ping", {core_sha256}});
            changed_.wait(lock, [this] { return !held_; });
        }
        if (ping_hook) {
            return ping_hook(core_sha256);
        }
        return HelperPath{kHelperPath};
    }
    StartOutcome start_core(StartParams params) override {
        record({"start", {params.address, params.session_id}});
        if (throw_text) {
            throw std::runtime_error(*throw_text);
        }
        if (start_hook) {
            return start_hook(params);
        }
        return CoreStarted{kPid};
    }
    StopOutcome stop_core(StopParams params) override {
        record({"stop", {params.session_id}});
        if (throw_text) {
            throw std::runtime_error(*throw_text);
        }
        if (stop_hook) {
            return stop_hook(params);
        }
        return CoreStopped::stopped;
    }
    void stop_core_on_shutdown() override { record({"shutdown", {}}); }

    std::vector<Call> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    // How many calls of `operation` were made.
    std::size_t count(const std::string& operation) const {
        std::lock_guard lock(mutex_);
        return count_locked(operation);
    }
    // Waits until `count` calls in all (or of `operation`, when given) were made.
    bool wait_for_calls(std::size_t count, std::optional<std::string> operation = std::nullopt,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return (operation ? count_locked(*operation) : calls_.size()) >= count;
        });
    }

    // Pings wait, once recorded, until release().
    void hold() {
        std::lock_guard lock(mutex_);
        held_ = true;
    }
    void release() {
        {
            std::lock_guard lock(mutex_);
            held_ = false;
        }
        changed_.notify_all();
    }

    // Set before the fake is used; read without the lock.
    std::function<PingOutcome(const std::string&)> ping_hook;
    std::function<StartOutcome(const StartParams&)> start_hook;
    std::function<StopOutcome(const StopParams&)> stop_hook;
    std::optional<std::string> throw_text;  // start and stop throw this when set

  private:
    void record(Call call) {
        std::lock_guard lock(mutex_);
        record_locked(std::move(call));
    }
    void record_locked(Call call) {
        calls_.push_back(std::move(call));
        changed_.notify_all();
    }
    std::size_t count_locked(const std::string& operation) const {
        std::size_t n = 0;
        for (const Call& call : calls_) {
            n += call.operation == operation ? 1 : 0;
        }
        return n;
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
    bool held_ = false;
};

}  // namespace drovane::hub::testing
