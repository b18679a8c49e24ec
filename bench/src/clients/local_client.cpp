#include <bench/clients/local_client.hpp>

#include <stdexcept>

namespace bench {

local_client::local_client() : client("local") { entries_.max_load_factor(1.0f); }

void local_client::put(const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    // An existing entry keeps its first content.
    entries_.emplace(key, value);
}

void local_client::update(const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Updating a missing key creates it.
    entries_[key] = value;
}

void local_client::remove(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.erase(key);
}

void local_client::get(const std::string& key, std::string& value, std::size_t) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = entries_.find(key);
    if (found == entries_.end()) throw std::runtime_error("entry not found");
    value = found->second;
}

void local_client::set(const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.insert_or_assign(key, value);
}

bool local_client::try_get(const std::string& key, std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = entries_.find(key);
    if (found == entries_.end()) return false;
    value = found->second;
    return true;
}

bool local_client::try_update(const std::string& key, const std::string& value) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = entries_.find(key);
    if (found == entries_.end()) return false;
    found->second = value;
    return true;
}

bool local_client::try_remove(const std::string& key) {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.erase(key) != 0;
}

}  // namespace bench
