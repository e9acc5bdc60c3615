// A simulated TV card: a device object whose IRegisterAccess behaves like
// the card's I/O pins with the remote's receiver on them.
//
//   0x118  output enable: keeps what is written to it.
//   0x200  data: bits 8..13 the receiver's code lines, bit 14 clear while a
//          key is down and set while none is. After a release the code lines
//          keep the last code, as the receiver's latch does, until cleared.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "pyxremote.h"

namespace remote_host {

class SimCard {
 public:
  // Called on the module's worker thread for every register access:
  // 'R' or 'W', the offset, and the value read or written.
  using Trace = std::function<void(char op, uint32_t offset, uint32_t value)>;

  static constexpr uint32_t kEnableRegister = 0x118;
  static constexpr uint32_t kDataRegister = 0x200;
  static constexpr uint32_t kNoKeyBit = 1u << 14;

  SimCard() = default;
  SimCard(const SimCard&) = delete;
  SimCard& operator=(const SimCard&) = delete;

  // The device object to hand to Start.
  IUnknown* device() { return &device_; }

  // Host thread; set before Start.
  void SetTrace(Trace trace) { trace_ = std::move(trace); }

  // Host thread, at any time.
  void HoldCode(int32_t code);  // 0..63 down
  void LetGo();                 // no key down; the code lines keep the code
  void ClearCode();             // code lines to 0

  uint32_t data() const { return data_.load(); }
  uint64_t data_reads() const { return data_reads_.load(); }
  // References the module holds on the device and the registers.
  long references_held() const { return device_.refs - 1 + registers_.refs - 1; }

 private:
  struct Registers final : IRegisterAccess {
    explicit Registers(SimCard& card) : card(card) {}
    HRESULT PYX_CALL QueryInterface(REFIID iid, void** object) override;
    ULONG PYX_CALL AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG PYX_CALL Release() override { return static_cast<ULONG>(--refs); }
    HRESULT PYX_CALL Placeholder() override { return E_UNEXPECTED; }
    HRESULT PYX_CALL ReadRegister(uint32_t offset, uint32_t* value) override;
    HRESULT PYX_CALL WriteRegister(uint32_t offset, uint32_t value) override;
    SimCard& card;
    std::atomic<long> refs{1};
  };
  struct Device final : IUnknown {
    explicit Device(SimCard& card) : card(card) {}
    HRESULT PYX_CALL QueryInterface(REFIID iid, void** object) override;
    ULONG PYX_CALL AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG PYX_CALL Release() override { return static_cast<ULONG>(--refs); }
    SimCard& card;
    std::atomic<long> refs{1};
  };

  std::atomic<uint32_t> data_{kNoKeyBit};
  std::atomic<uint32_t> enable_{0};
  std::atomic<uint64_t> data_reads_{0};
  Trace trace_;
  Registers registers_{*this};
  Device device_{*this};
};

}  // namespace remote_host
