// A symbolic link that lives as long as this object: discovery finds the simulator's ptys
// under serial-node names through it.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace TamroSimulator {

class SymbolicLink {
public:
    // A leftover link of an earlier run is replaced; anything else in the way (a real serial
    // node, say) makes this throw std::runtime_error, with a message that names the link.
    SymbolicLink(std::filesystem::path link, const std::filesystem::path& target)
        : link_(std::move(link)) {
        std::error_code error;  // is_symlink sets it for a missing path too: not an error here
        if (std::filesystem::is_symlink(link_, error)) std::filesystem::remove(link_, error);
        error.clear();
        std::filesystem::create_symlink(target, link_, error);
        if (error)
            throw std::runtime_error("cannot link " + link_.string() + " to " + target.string() +
                                     ": " + error.message());
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
