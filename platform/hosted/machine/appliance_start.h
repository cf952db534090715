// A libguestfs appliance's start, watched. On a host whose KVM is nested
// without the hardware's help, qemu opens /dev/kvm and the guest never gets
// past its firmware: libguestfs itself would wait twenty minutes. The watch
// gives KVM a bound to show the appliance's kernel running, gives every
// start a bound in all, and stops a start whose run has gone away; each
// time by ending the processes the start made (qemu, libguestfs's helper),
// so that the launch fails at once and nothing is left behind.
#ifndef BRINDLE_PLATFORM_HOSTED_MACHINE_APPLIANCE_START_H_
#define BRINDLE_PLATFORM_HOSTED_MACHINE_APPLIANCE_START_H_

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

namespace brindle {

/// How long qemu under KVM has to show the appliance's kernel running,
/// from the first qemu the start runs: an emulated start shows it well
/// within this (BENCHMARKS.md), and KVM runs the same guest faster.
constexpr int kKvmStartSeconds = 30;
/// How long a start may take in all, KVM or not: several times the slowest
/// emulated start seen, for a busy machine (BENCHMARKS.md).
constexpr int kStartSeconds = 300;

/// True when libguestfs will ask qemu for KVM: no `force_tcg` was asked
/// for (by the program or in LIBGUESTFS_BACKEND_SETTINGS) and /dev/kvm
/// opens for writing, as libguestfs itself decides.
bool StartsUnderKvm(bool forceTcg);
/// True when a start under KVM was found silent earlier in this boot of
/// the host (the verdict is kept per boot, in the user's cache directory).
bool KvmFoundSilentThisBoot();
/// Keeps the verdict that KVM does not start the appliance, for this boot.
void RememberKvmSilent();

/// Watches one start, from construction to Finish, on a thread of its own.
/// The caller starts the appliance meanwhile and hands the appliance's
/// console text to Heard.
class StartWatch {
 public:
  enum Verdict {
    kStarted,    ///< nothing was stopped
    kKvmSilent,  ///< KVM showed no kernel within kKvmStartSeconds
    kTooSlow,    ///< the start took longer than kStartSeconds
    kRunGone,    ///< `gone` became readable: the run that wanted it ended
  };
  /// `underKvm` applies the KVM bound; `gone` is a descriptor that becomes
  /// readable (or hung up) when the start is no longer wanted, or -1. The
  /// bounds are in seconds.
  StartWatch(bool underKvm, int gone, int kvmSeconds = kKvmStartSeconds,
             int startSeconds = kStartSeconds);
  ~StartWatch();
  StartWatch(const StartWatch&) = delete;
  StartWatch& operator=(const StartWatch&) = delete;

  /// Console text of the appliance: its kernel's or its init's first words
  /// are the sign that the guest runs.
  void Heard(const char* text, std::size_t size);
  /// Ends the watch once the start has returned: what it did.
  Verdict Finish();

 private:
  void Watch();
  // The verdict, once a start must stop, or kStarted while it may go on.
  Verdict Judge(double seconds, double sinceQemu) const;

  const bool underKvm_;
  const int gone_;
  const int kvmSeconds_;
  const int startSeconds_;
  std::atomic<bool> alive_{false};
  std::mutex mutex_;
  std::condition_variable finished_;
  bool done_ = false;
  Verdict verdict_ = kStarted;
  std::thread watching_;
};

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_MACHINE_APPLIANCE_START_H_
