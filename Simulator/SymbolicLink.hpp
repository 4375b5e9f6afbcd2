// A symbolic link that lives as long as this object: discovery finds the simulator's ptys
// under serial-node names through it.
#pragma once

#include <filesystem>
#include <system_error>

namespace TamroSimulator {

class SymbolicLink {
public:
    // A leftover link of an earlier run is replaced; anything else in the way (a real serial
    // node, say) makes this throw std::filesystem::filesystem_error.
    SymbolicLink(std::filesystem::path link, const std::filesystem::path& target)
        : link_(std::move(link)) {
        if (std::filesystem::is_symlink(link_)) std::filesystem::remove(link_);
        std::filesystem::create_symlink(target, link_);
    }
    ~SymbolicLink() {
        std::error_code ignored;
        std::filesystem::remove(link_, ignored);
    }
    SymbolicLink(const SymbolicLink&) = delete;
    SymbolicLink& operator=(const SymbolicLink&) = delete;

    const std::filesystem::path& Path() const { return link_; }

private:
    std::filesystem::path link_;
};

}  // namespace TamroSimulator
