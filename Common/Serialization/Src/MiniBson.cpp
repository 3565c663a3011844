#include "MiniBson.h"

#include <cstring>

#include "LittleEndian.h"

namespace minibson {

namespace {

// A key ends at its first zero byte on the wire; cutting it on the way in
// keeps the counted size and the written bytes the same.
std::string WireKey(const std::string& key) {
  const size_t zero = key.find('\0');
  return zero == std::string::npos ? key : key.substr(0, zero);
}

}  // namespace

template <class T, uint8_t TypeCode>
void scalar<T, TypeCode>::Serialize(void* buffer, uint32_t size) const {
  if (!buffer || size < sizeof(T)) return;
  corvane::le::Store(static_cast<uint8_t*>(buffer), value);
}

template class scalar<int32_t, 0x10>;
template class scalar<int64_t, 0x12>;
template class scalar<double, 0x01>;

uint32_t string::GetSerializedSize() const { return static_cast<uint32_t>(value.size()) + 5; }

void string::Serialize(void* buffer, uint32_t size) const {
  if (!buffer || size < GetSerializedSize()) return;
  auto* out = static_cast<uint8_t*>(buffer);
  corvane::le::Store(out, static_cast<int32_t>(value.size() + 1));
  std::memcpy(out + 4, value.data(), value.size());
  out[4 + value.size()] = 0;
}

void string::PrintValue(std::ostream& os) const { os << '"' << value << '"'; }

element_list::element_list(const element_list& other) : node() {
  for (const auto& [key, value] : other.elements_) {
    elements_.emplace_hint(elements_.end(), key, value ? value->Clone() : nullptr);
  }
}

element_list& element_list::operator=(const element_list& other) {
  if (this != &other) {
    element_list copy(other);
    elements_.swap(copy.elements_);
  }
  return *this;
}

element_list& element_list::Set(const std::string& key, const int32_t& value) {
  (*this)[key] = std::make_unique<int32>(value);
  return *this;
}

element_list& element_list::Set(const std::string& key, const double& value) {
  (*this)[key] = std::make_unique<Double>(value);
  return *this;
}

std::unique_ptr<node>& element_list::operator[](const std::string& key) { return elements_[WireKey(key)]; }

uint32_t element_list::ElementsSize() const {
  uint32_t total = 0;
  for (const auto& [key, value] : elements_) {
    if (value) total += static_cast<uint32_t>(key.size()) + 2 + value->GetSerializedSize();
  }
  return total;
}

uint32_t element_list::GetSerializedSize() const { return ElementsSize(); }

uint8_t* element_list::WriteElements(uint8_t* out) const {
  for (const auto& [key, value] : elements_) {
    if (!value) continue;
    *out++ = value->GetTypeCode();
    std::memcpy(out, key.data(), key.size());
    out += key.size();
    *out++ = 0;
    const uint32_t valueSize = value->GetSerializedSize();
    value->Serialize(out, valueSize);
    out += valueSize;
  }
  return out;
}

void element_list::Serialize(void* buffer, uint32_t size) const {
  if (!buffer || size < GetSerializedSize()) return;
  WriteElements(static_cast<uint8_t*>(buffer));
}

void element_list::Dump(std::ostream& os, int depth) const {
  if (depth < 0) depth = 0;
  os << "{ ";
  bool first = true;
  for (const auto& [key, value] : elements_) {
    if (!value) continue;
    if (!first) os << ", ";
    first = false;
    os << '\n' << std::string(static_cast<size_t>(depth) + 1, '\t') << '"' << key << "\": ";
    value->Dump(os, depth + 1);
  }
  os << '\n' << std::string(static_cast<size_t>(depth), '\t') << '}';
}

void element_list::PrintValue(std::ostream& os) const {
  os << "{ ";
  bool first = true;
  for (const auto& [key, value] : elements_) {
    if (!value) continue;
    if (!first) os << ", ";
    first = false;
    os << '"' << key << "\": ";
    value->PrintValue(os);
  }
  os << " }";
}

void document::Serialize(void* buffer, uint32_t size) const {
  const uint32_t total = GetSerializedSize();
  if (!buffer || size < total) return;
  auto* out = static_cast<uint8_t*>(buffer);
  corvane::le::Store(out, static_cast<int32_t>(total));
  out = WriteElements(out + 4);
  *out = 0;
}

}  // namespace minibson
