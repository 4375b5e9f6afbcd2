// Triangle meshes touched through a god-object proxy: the immutable tree (built off the loop,
// then handed over whole) and the proxy the loop steps every cycle without allocating.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "Tamro/HardwareAPI/Control/Effects.hpp"
#include "Tamro/HardwareAPI/Control/Vector.hpp"

namespace Tamro::HardwareAPI::Control {

using Face = std::array<std::uint32_t, 3>;

// Vertices and faces (counter-clockwise seen from outside) with a binned-SAH bounding-volume
// hierarchy over them. Built once, never changed: a new shape is a new tree.
class MeshTree {
public:
    // The largest coordinate a vertex may have, in either sign: far beyond any workspace, and
    // well inside what the build's float bounds hold.
    static constexpr double MaxCoordinate = 1e9;
    // Throws std::invalid_argument on non-finite vertices or beyond MaxCoordinate, out-of-range
    // indices or no faces.
    static std::shared_ptr<const MeshTree> Build(std::vector<Vec3> vertices,
                                                 std::vector<Face> faces);

    struct Hit {
        double t = 2;  // fraction of the segment, > 1 when nothing was hit
        std::uint32_t face = 0;
        Vec3 point{};   // the point of the face touched
        Vec3 normal{};  // unit, from that point toward the centre: the constraint's normal
    };
    // First face whose front a sphere of `radius` (0: a point) meets as its centre moves from
    // a to b: the first contact with the mesh offset by the radius, on a face, an edge or a
    // vertex. Back faces are let through (a proxy only ever meets a surface from outside): a
    // point must enter a face's front, a sphere's centre must be in front of the face's plane
    // when it touches. A sphere already closer than its radius is stopped at once (t = 0) if
    // it moves toward the face, let go if it moves away.
    Hit FirstFrontHit(const Vec3& a, const Vec3& b, double radius = 0) const noexcept;
    // Same answer by testing every face: the reference for tests and benches.
    Hit FirstFrontHitBruteForce(const Vec3& a, const Vec3& b, double radius = 0) const noexcept;

    struct Nearest {
        Vec3 point{};
        double distance = 0;
        std::uint32_t face = 0;
    };
    Nearest Closest(const Vec3& p) const noexcept;
    Nearest ClosestBruteForce(const Vec3& p) const noexcept;

    // Adjacency, found with the tree: each edge once, with the faces on either side of it (an
    // open edge has one; a third face on an edge shares its index but is not listed), each
    // face's three edges, and a face at each vertex.
    static constexpr std::uint32_t NoFace = 0xFFFFFFFFu;
    struct Edge {
        std::uint32_t from, to;              // vertices, from < to
        std::array<std::uint32_t, 2> faces;  // faces[1] == NoFace: an open edge
        bool Open() const noexcept { return faces[1] == NoFace; }
    };
    const std::vector<Edge>& Edges() const noexcept { return edges_; }
    // Face f's edge k, from its corner k to corner (k + 1) % 3: an index into Edges().
    std::uint32_t EdgeOf(std::uint32_t face, int k) const noexcept { return faceEdges_[face][k]; }
    // A face with this corner; NoFace for a vertex no face uses.
    std::uint32_t FaceAt(std::uint32_t vertex) const noexcept { return vertexFaces_[vertex]; }
    const Face& Corners(std::uint32_t face) const noexcept { return faces_[face]; }
    std::size_t VertexCount() const noexcept { return vertices_.size(); }

    const Vec3& Normal(std::uint32_t face) const noexcept { return normals_[face]; }
    double Offset(std::uint32_t face) const noexcept { return offsets_[face]; }
    std::size_t FaceCount() const noexcept { return faces_.size(); }

    struct Node {
        Vec3 lower, upper;
        std::uint32_t first;  // first child (inner) or first face slot (leaf)
        std::uint32_t count;  // 0 for an inner node
    };

private:
    MeshTree() = default;
    double FaceHit(std::uint32_t face, const Vec3& a, const Vec3& d, double radius) const noexcept;
    void Touch(Hit& hit, const Vec3& a, const Vec3& d) const noexcept;
    std::vector<Vec3> vertices_;
    std::vector<Face> faces_;
    std::vector<Vec3> normals_;
    std::vector<double> offsets_;  // plane: Dot(normal, x) == offset
    std::vector<std::uint32_t> order_;
    std::vector<Node> nodes_;
    std::vector<Edge> edges_;
    std::vector<std::array<std::uint32_t, 3>> faceEdges_;
    std::vector<std::uint32_t> vertexFaces_;
    void Connect();
};

// The god-object: a point, or a sphere of `radius`, that follows the device but never crosses
// the surface. Each step sweeps it from where it was toward the device, so no thin shell is
// skipped, and resolves up to three constraints (a face, an edge, a corner) in that same step.
// A sphere's constraints are the planes tangent to the mesh offset by its radius where it
// touched; the force is a spring from the device to the sphere's centre.
class MeshProxy {
public:
    struct Parameters {
        double stiffness = 0;
        double damping = 0;
        double staticFriction = 0;
        double dynamicFriction = 0;
        double radius = 0;                           // m, the god-object's; 0: a point
        Vec3 position{};                             // rigid pose of the mesh, no rebuild
        std::array<double, 4> rotation{1, 0, 0, 0};  // unit quaternion w, x, y, z
    };
    // The device found inside a closed mesh (or a sphere's radius from its surface) at the first
    // step is not thrown out: the stiffness ramps from zero over this time while the proxy waits
    // on the nearest surface point (a sphere: its radius out from it).
    static constexpr double kInsideRamp = 1.0;

    explicit MeshProxy(std::shared_ptr<const MeshTree> tree)
        : owner_(std::move(tree)), tree_(owner_.get()) {}
    // Detached: a loop keeps one per effect slot and attaches the slot's tree, which whoever
    // set the effects keeps alive; attaching starts afresh, as on a first step.
    MeshProxy() = default;
    void Attach(const MeshTree* tree) noexcept;
    const MeshTree* Tree() const noexcept { return tree_; }

    // One servo cycle: position and velocity of the device, seconds since the last step.
    // Returns the force on the device, in the world frame.
    // Nothing while detached.
    Vec3 Step(const Parameters& p, const Vec3& device, const Vec3& velocity, double dt) noexcept;

    Vec3 Proxy() const noexcept;  // world frame
    bool InContact() const noexcept { return contacts_ > 0; }

private:
    Vec3 Resolve(const Vec3& goal, double radius, double muS, double muD) noexcept;

    std::shared_ptr<const MeshTree> owner_;  // none when attached
    const MeshTree* tree_ = nullptr;
    bool started_ = false;
    double ramp_ = 1;
    Vec3 proxy_{};  // mesh frame
    int contacts_ = 0;
    bool sticking_ = true;
    Parameters pose_{};
};

// A mesh effect's parameters as its proxy takes them (Effects.cpp).
MeshProxy::Parameters ProxyParameters(const Mesh& mesh) noexcept;

// What a proxy with no history gives at a position: nothing outside, and inside a closed mesh
// (behind its nearest face) or nearer its surface than the radius, a spring to the offset
// surface (the nearest surface point, moved out by the radius), less the damping.
Vec3 MeshPenalty(const MeshTree& tree, const MeshProxy::Parameters& p, const Vec3& device,
                 const Vec3& velocity) noexcept;

}  // namespace Tamro::HardwareAPI::Control
