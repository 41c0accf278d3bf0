#include "radio/SerialPort.h"

#include <algorithm>
#include <chrono>
#include <thread>

bool CSerialPortInterface::WaitForInput(std::uint32_t milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    return false;
}

void MemorySerialPort::Write(const std::uint8_t* bytes, std::size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    tx_.insert(tx_.end(), bytes, bytes + length);
}

std::int32_t MemorySerialPort::ReadChar() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (rx_.empty()) return -1;
    std::uint8_t b = rx_.front();
    rx_.pop_front();
    return b;
}

std::size_t MemorySerialPort::ReadBytes(std::uint8_t* out, std::size_t max) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::size_t n = max < rx_.size() ? max : rx_.size();
    std::copy_n(rx_.begin(), n, out);
    rx_.erase(rx_.begin(), rx_.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

void MemorySerialPort::Feed(const std::uint8_t* bytes, std::size_t length) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        rx_.insert(rx_.end(), bytes, bytes + length);
    }
    if (length > 0) fed_.notify_all();
}

bool MemorySerialPort::InputWaiting() {
    std::lock_guard<std::mutex> lock(mutex_);
    return !rx_.empty();
}

bool MemorySerialPort::WaitForInput(std::uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return fed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [this] { return !rx_.empty(); });
}

std::size_t MemorySerialPort::Pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rx_.size();
}

std::vector<std::uint8_t> MemorySerialPort::TakeWritten() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::uint8_t> out;
    out.swap(tx_);
    return out;
}

std::size_t MemorySerialPort::WrittenSize() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tx_.size();
}

std::int32_t MemorySerialPort::OpenPort(std::uint8_t index) {
    lastOpenedIndex = index;
    return 0;
}
