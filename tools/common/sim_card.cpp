#include "sim_card.h"

#include <cstring>

namespace remote_host {
namespace {

constexpr uint32_t kCodeLines = 0x3Fu << 8;

// {00000000-0000-0000-C000-000000000046}
constexpr GUID kIidUnknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

bool Same(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

void SimCard::HoldCode(int32_t code) { data_.store((static_cast<uint32_t>(code) & 0x3F) << 8); }

void SimCard::LetGo() { data_.store((data_.load() & kCodeLines) | kNoKeyBit); }

void SimCard::ClearCode() { data_.store(data_.load() & ~kCodeLines); }

HRESULT PYX_CALL SimCard::Device::QueryInterface(REFIID iid, void** object) {
  if (Same(iid, IID_IRegisterAccess)) {
    card.registers_.AddRef();
    *object = static_cast<IRegisterAccess*>(&card.registers_);
    return S_OK;
  }
  if (Same(iid, kIidUnknown)) {
    AddRef();
    *object = static_cast<IUnknown*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT PYX_CALL SimCard::Registers::QueryInterface(REFIID iid, void** object) {
  if (Same(iid, IID_IRegisterAccess) || Same(iid, kIidUnknown)) {
    AddRef();
    *object = static_cast<IRegisterAccess*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT PYX_CALL SimCard::Registers::ReadRegister(uint32_t offset, uint32_t* value) {
  if (offset == kDataRegister) {
    *value = card.data_.load();
    card.data_reads_.fetch_add(1, std::memory_order_relaxed);
  } else if (offset == kEnableRegister) {
    *value = card.enable_.load();
  } else {
    *value = 0;
  }
  if (card.trace_) card.trace_('R', offset, *value);
  return S_OK;
}

HRESULT PYX_CALL SimCard::Registers::WriteRegister(uint32_t offset, uint32_t value) {
  if (offset == kEnableRegister) card.enable_.store(value);
  if (card.trace_) card.trace_('W', offset, value);
  return S_OK;
}

}  // namespace remote_host
