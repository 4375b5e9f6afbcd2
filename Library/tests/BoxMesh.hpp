// A closed axis-aligned box as a mesh tree, faces counter-clockwise seen from outside: the shape
// the mesh tests push on.
#pragma once

#include "Tamro/HardwareAPI/Control/Mesh.hpp"

#include <memory>
#include <vector>

namespace TamroTest {

inline std::shared_ptr<const Tamro::HardwareAPI::Control::MeshTree> BoxMesh(
    const Tamro::HardwareAPI::Control::Vec3& lo, const Tamro::HardwareAPI::Control::Vec3& hi) {
    using namespace Tamro::HardwareAPI::Control;
    std::vector<Vec3> v(8);
    for (int i = 0; i < 8; ++i)
        v[i] = {i & 1 ? hi[0] : lo[0], i & 2 ? hi[1] : lo[1], i & 4 ? hi[2] : lo[2]};
    const std::vector<Face> f{{0, 2, 1}, {1, 2, 3}, {4, 5, 6}, {5, 7, 6}, {0, 1, 4}, {1, 5, 4},
                              {2, 6, 3}, {3, 6, 7}, {0, 4, 2}, {2, 4, 6}, {1, 3, 5}, {3, 7, 5}};
    return MeshTree::Build(v, f);
}

}  // namespace TamroTest
