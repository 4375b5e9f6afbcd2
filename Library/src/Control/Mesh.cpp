// The mesh tree (binned SAH) and the god-object proxy (Zilles and Salisbury 1995, with the
// constraint planes of Ruspini, Kolarov and Khatib 1997).
#include "Tamro/HardwareAPI/Control/Mesh.hpp"

#include <algorithm>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <string>

namespace Tamro::HardwareAPI::Control {
namespace {

constexpr int kBins = 16;
constexpr std::uint32_t kLeafFaces = 4;
constexpr int kStack = 64;  // traversal stack; the build keeps depth below it
constexpr int kForceMedianDepth = 48;
// The proxy rests this far in front of a face, so the next sweep starts outside it.
constexpr double kSkin = 1e-9;

Vec3 Cross(const Vec3& a, const Vec3& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
Vec3 Min(const Vec3& a, const Vec3& b) {
    return {std::min(a[0], b[0]), std::min(a[1], b[1]), std::min(a[2], b[2])};
}
Vec3 Max(const Vec3& a, const Vec3& b) {
    return {std::max(a[0], b[0]), std::max(a[1], b[1]), std::max(a[2], b[2])};
}
double Area(const Vec3& lo, const Vec3& hi) {
    const Vec3 d = hi - lo;
    if (d[0] < 0) return 0;
    return d[0] * d[1] + d[1] * d[2] + d[2] * d[0];
}
constexpr double kHuge = std::numeric_limits<double>::infinity();

// Ericson, Real-Time Collision Detection, 5.1.5.
Vec3 ClosestOnTriangle(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c) {
    const Vec3 ab = b - a, ac = c - a, ap = p - a;
    const double d1 = Dot(ab, ap), d2 = Dot(ac, ap);
    if (d1 <= 0 && d2 <= 0) return a;
    const Vec3 bp = p - b;
    const double d3 = Dot(ab, bp), d4 = Dot(ac, bp);
    if (d3 >= 0 && d4 <= d3) return b;
    const double vc = d1 * d4 - d3 * d2;
    if (vc <= 0 && d1 >= 0 && d3 <= 0) return a + (d1 / (d1 - d3)) * ab;
    const Vec3 cp = p - c;
    const double d5 = Dot(ab, cp), d6 = Dot(ac, cp);
    if (d6 >= 0 && d5 <= d6) return c;
    const double vb = d5 * d2 - d1 * d6;
    if (vb <= 0 && d2 >= 0 && d6 <= 0) return a + (d2 / (d2 - d6)) * ac;
    const double va = d3 * d6 - d5 * d4;
    if (va <= 0 && (d4 - d3) >= 0 && (d5 - d6) >= 0)
        return b + ((d4 - d3) / ((d4 - d3) + (d5 - d6))) * (c - b);
    const double denom = 1 / (va + vb + vc);
    return a + (vb * denom) * ab + (vc * denom) * ac;
}

double BoxDistance2(const MeshTree::Node& n, const Vec3& p) {
    double s = 0;
    for (int i = 0; i < 3; ++i) {
        const double d = std::max({n.lower[i] - p[i], 0.0, p[i] - n.upper[i]});
        s += d * d;
    }
    return s;
}

bool SegmentMeetsBox(const MeshTree::Node& n, const Vec3& a, const Vec3& inv, double limit) {
    double t0 = 0, t1 = limit;
    for (int i = 0; i < 3; ++i) {
        double lo = (n.lower[i] - a[i]) * inv[i], hi = (n.upper[i] - a[i]) * inv[i];
        if (lo > hi) std::swap(lo, hi);
        if (std::isnan(lo) || std::isnan(hi)) {  // parallel and on a slab's edge: inside it
            if (a[i] < n.lower[i] || a[i] > n.upper[i]) return false;
            continue;
        }
        t0 = std::max(t0, lo);
        t1 = std::min(t1, hi);
        if (t0 > t1) return false;
    }
    return true;
}

Vec3 Rotate(const std::array<double, 4>& q, const Vec3& v) {
    const Vec3 u{q[1], q[2], q[3]};
    const Vec3 t = 2.0 * Cross(u, v);
    return v + q[0] * t + Cross(u, t);
}
std::array<double, 4> Conjugate(const std::array<double, 4>& q) {
    return {q[0], -q[1], -q[2], -q[3]};
}

}  // namespace

std::shared_ptr<const MeshTree> MeshTree::Build(std::vector<Vec3> vertices,
                                                std::vector<Face> faces) {
    if (faces.empty()) throw std::invalid_argument("faces: must not be empty");
    if (faces.size() >= (1u << 31)) throw std::invalid_argument("faces: too many");
    for (const auto& v : vertices)
        for (double c : v)
            if (!std::isfinite(c)) throw std::invalid_argument("vertices: must be finite");
    std::shared_ptr<MeshTree> tree(new MeshTree());
    tree->normals_.reserve(faces.size());
    tree->offsets_.reserve(faces.size());
    for (const auto& f : faces) {
        for (auto i : f)
            if (i >= vertices.size())
                throw std::invalid_argument("faces: index " + std::to_string(i) + " out of range");
        const Vec3 n = Cross(vertices[f[1]] - vertices[f[0]], vertices[f[2]] - vertices[f[0]]);
        const double length = Norm(n);
        // A degenerate face has no front: it never stops the proxy.
        const Vec3 unit = length > 0 ? (1 / length) * n : Vec3{};
        tree->normals_.push_back(unit);
        tree->offsets_.push_back(Dot(unit, vertices[f[0]]));
    }
    tree->vertices_ = std::move(vertices);
    tree->faces_ = std::move(faces);
    auto& t = *tree;
    const std::uint32_t count = static_cast<std::uint32_t>(t.faces_.size());
    std::vector<Vec3> lo(count), hi(count), centre(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto& f = t.faces_[i];
        lo[i] = Min(Min(t.vertices_[f[0]], t.vertices_[f[1]]), t.vertices_[f[2]]);
        hi[i] = Max(Max(t.vertices_[f[0]], t.vertices_[f[1]]), t.vertices_[f[2]]);
        centre[i] = 0.5 * (lo[i] + hi[i]);
    }
    t.order_.resize(count);
    std::iota(t.order_.begin(), t.order_.end(), 0u);
    t.nodes_.reserve(2 * count / kLeafFaces + 2);
    t.nodes_.push_back({{}, {}, 0, count});
    struct Work {
        std::uint32_t node;
        int depth;
    };
    std::vector<Work> work{{0, 0}};
    while (!work.empty()) {
        const Work w = work.back();
        work.pop_back();
        Node& node = t.nodes_[w.node];
        const std::uint32_t first = node.first, n = node.count;
        Vec3 blo{kHuge, kHuge, kHuge}, bhi{-kHuge, -kHuge, -kHuge}, clo = blo, chi = bhi;
        for (std::uint32_t k = first; k < first + n; ++k) {
            const auto i = t.order_[k];
            blo = Min(blo, lo[i]);
            bhi = Max(bhi, hi[i]);
            clo = Min(clo, centre[i]);
            chi = Max(chi, centre[i]);
        }
        node.lower = blo;
        node.upper = bhi;
        if (n <= kLeafFaces) continue;
        int axis = 0;
        for (int a = 1; a < 3; ++a)
            if (chi[a] - clo[a] > chi[axis] - clo[axis]) axis = a;
        const double extent = chi[axis] - clo[axis];
        std::uint32_t middle = first + n / 2;
        bool median = extent <= 0 || w.depth >= kForceMedianDepth;
        if (!median) {
            struct Bin {
                Vec3 lo{kHuge, kHuge, kHuge}, hi{-kHuge, -kHuge, -kHuge};
                std::uint32_t n = 0;
            };
            std::array<Bin, kBins> bins{};
            const double scale = kBins / extent;
            auto binOf = [&](std::uint32_t i) {
                return std::min(kBins - 1, static_cast<int>((centre[i][axis] - clo[axis]) * scale));
            };
            for (std::uint32_t k = first; k < first + n; ++k) {
                const auto i = t.order_[k];
                Bin& b = bins[binOf(i)];
                b.lo = Min(b.lo, lo[i]);
                b.hi = Max(b.hi, hi[i]);
                ++b.n;
            }
            std::array<double, kBins> leftCost{};
            Vec3 l = bins[0].lo, h = bins[0].hi;
            std::uint32_t ln = 0;
            for (int s = 0; s < kBins - 1; ++s) {
                l = Min(l, bins[s].lo);
                h = Max(h, bins[s].hi);
                ln += bins[s].n;
                leftCost[s] = ln ? Area(l, h) * ln : 0;
            }
            double best = kHuge;
            int split = -1;
            Vec3 rl{kHuge, kHuge, kHuge}, rh{-kHuge, -kHuge, -kHuge};
            std::uint32_t rn = 0;
            for (int s = kBins - 1; s > 0; --s) {
                rl = Min(rl, bins[s].lo);
                rh = Max(rh, bins[s].hi);
                rn += bins[s].n;
                const double cost = leftCost[s - 1] + (rn ? Area(rl, rh) * rn : 0);
                if (rn > 0 && rn < n && cost < best) {
                    best = cost;
                    split = s;
                }
            }
            if (split < 0) {
                median = true;
            } else {
                auto* mid = std::partition(t.order_.data() + first, t.order_.data() + first + n,
                                           [&](std::uint32_t i) { return binOf(i) < split; });
                middle = static_cast<std::uint32_t>(mid - t.order_.data());
            }
        }
        if (median)
            std::nth_element(t.order_.begin() + first, t.order_.begin() + middle,
                             t.order_.begin() + first + n, [&](std::uint32_t x, std::uint32_t y) {
                                 return centre[x][axis] < centre[y][axis];
                             });
        const auto left = static_cast<std::uint32_t>(t.nodes_.size());
        t.nodes_[w.node].first = left;
        t.nodes_[w.node].count = 0;
        t.nodes_.push_back({{}, {}, first, middle - first});
        t.nodes_.push_back({{}, {}, middle, first + n - middle});
        work.push_back({left, w.depth + 1});
        work.push_back({left + 1, w.depth + 1});
    }
    return tree;
}

namespace {
// Möller and Trumbore, keeping only faces entered from the front.
double FrontCrossing(const Vec3& a, const Vec3& d, const Vec3& p0, const Vec3& p1, const Vec3& p2,
                     const Vec3& normal) {
    if (!(Dot(normal, d) < 0)) return kHuge;
    const Vec3 e1 = p1 - p0, e2 = p2 - p0;
    const Vec3 q = Cross(d, e2);
    const double det = Dot(e1, q);
    if (std::abs(det) < 1e-300) return kHuge;
    const double inv = 1 / det;
    const Vec3 s = a - p0;
    const double u = Dot(s, q) * inv;
    if (u < 0 || u > 1) return kHuge;
    const Vec3 r = Cross(s, e1);
    const double v = Dot(d, r) * inv;
    if (v < 0 || u + v > 1) return kHuge;
    const double t = Dot(e2, r) * inv;
    if (t < 0 || t > 1) return kHuge;
    return t;
}
}  // namespace

MeshTree::Hit MeshTree::FirstFrontHit(const Vec3& a, const Vec3& b) const noexcept {
    const Vec3 d = b - a;
    const Vec3 inv{1 / d[0], 1 / d[1], 1 / d[2]};
    Hit hit;
    std::uint32_t stack[kStack];
    int top = 0;
    stack[top++] = 0;
    while (top > 0) {
        const Node& n = nodes_[stack[--top]];
        if (!SegmentMeetsBox(n, a, inv, std::min(hit.t, 1.0))) continue;
        if (n.count == 0) {
            stack[top++] = n.first;
            stack[top++] = n.first + 1;
            continue;
        }
        for (std::uint32_t k = n.first; k < n.first + n.count; ++k) {
            const auto i = order_[k];
            const auto& f = faces_[i];
            const double t =
                FrontCrossing(a, d, vertices_[f[0]], vertices_[f[1]], vertices_[f[2]], normals_[i]);
            if (t < hit.t) hit = {t, i};
        }
    }
    return hit;
}

MeshTree::Hit MeshTree::FirstFrontHitBruteForce(const Vec3& a, const Vec3& b) const noexcept {
    Hit hit;
    for (std::uint32_t i = 0; i < faces_.size(); ++i) {
        const auto& f = faces_[i];
        const double t =
            FrontCrossing(a, b - a, vertices_[f[0]], vertices_[f[1]], vertices_[f[2]], normals_[i]);
        if (t < hit.t) hit = {t, i};
    }
    return hit;
}

MeshTree::Nearest MeshTree::Closest(const Vec3& p) const noexcept {
    Nearest best{{}, kHuge, 0};
    double best2 = kHuge;
    std::uint32_t stack[kStack];
    int top = 0;
    stack[top++] = 0;
    while (top > 0) {
        const Node& n = nodes_[stack[--top]];
        if (BoxDistance2(n, p) >= best2) continue;
        if (n.count == 0) {  // nearer child last, so it is searched first
            const double dl = BoxDistance2(nodes_[n.first], p),
                         dr = BoxDistance2(nodes_[n.first + 1], p);
            stack[top++] = dl < dr ? n.first + 1 : n.first;
            stack[top++] = dl < dr ? n.first : n.first + 1;
            continue;
        }
        for (std::uint32_t k = n.first; k < n.first + n.count; ++k) {
            const auto i = order_[k];
            const auto& f = faces_[i];
            const Vec3 c = ClosestOnTriangle(p, vertices_[f[0]], vertices_[f[1]], vertices_[f[2]]);
            const double d2 = Dot(p - c, p - c);
            if (d2 < best2) {
                best2 = d2;
                best = {c, 0, i};
            }
        }
    }
    best.distance = std::sqrt(best2);
    return best;
}

MeshTree::Nearest MeshTree::ClosestBruteForce(const Vec3& p) const noexcept {
    Nearest best{{}, kHuge, 0};
    for (std::uint32_t i = 0; i < faces_.size(); ++i) {
        const auto& f = faces_[i];
        const Vec3 c = ClosestOnTriangle(p, vertices_[f[0]], vertices_[f[1]], vertices_[f[2]]);
        const double d = Norm(p - c);
        if (d < best.distance) best = {c, d, i};
    }
    return best;
}

namespace {
// The point nearest `goal` on the planes of the given faces (each lifted by the skin), or
// false when they do not meet in one.
bool OnPlanes(const MeshTree& tree, const std::uint32_t* faces, int count, const Vec3& goal,
              Vec3& out) {
    double g[3][3], r[3];
    for (int i = 0; i < count; ++i) {
        r[i] = Dot(tree.Normal(faces[i]), goal) - tree.Offset(faces[i]) - kSkin;
        for (int j = 0; j < count; ++j) g[i][j] = Dot(tree.Normal(faces[i]), tree.Normal(faces[j]));
    }
    double l[3] = {0, 0, 0};
    if (count == 1) {
        l[0] = r[0];
    } else if (count == 2) {
        const double det = g[0][0] * g[1][1] - g[0][1] * g[1][0];
        if (std::abs(det) < 1e-9) return false;
        l[0] = (r[0] * g[1][1] - g[0][1] * r[1]) / det;
        l[1] = (g[0][0] * r[1] - g[1][0] * r[0]) / det;
    } else {
        const double det = g[0][0] * (g[1][1] * g[2][2] - g[1][2] * g[2][1]) -
                           g[0][1] * (g[1][0] * g[2][2] - g[1][2] * g[2][0]) +
                           g[0][2] * (g[1][0] * g[2][1] - g[1][1] * g[2][0]);
        if (std::abs(det) < 1e-9) return false;
        for (int c = 0; c < 3; ++c) {  // Cramer: column c replaced by r
            double m[3][3];
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) m[i][j] = j == c ? r[i] : g[i][j];
            l[c] = (m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                    m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                    m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0])) /
                   det;
        }
    }
    out = goal;
    for (int i = 0; i < count; ++i) out = out - l[i] * tree.Normal(faces[i]);
    return true;
}

// Nearest point to `goal` in front of every constraint (Ruspini's quadratic programme, solved
// by trying each subset of at most three planes as equalities).
bool Constrained(const MeshTree& tree, const std::uint32_t* faces, int count, const Vec3& goal,
                 Vec3& out) {
    double best = kHuge;
    for (int mask = 1; mask < (1 << count); ++mask) {
        std::uint32_t chosen[3];
        int n = 0;
        for (int i = 0; i < count; ++i)
            if (mask & (1 << i)) chosen[n++] = faces[i];
        Vec3 x;
        if (!OnPlanes(tree, chosen, n, goal, x)) continue;
        bool feasible = true;
        for (int i = 0; i < count; ++i)
            if (Dot(tree.Normal(faces[i]), x) - tree.Offset(faces[i]) < kSkin * 0.5)
                feasible = false;
        const double d = Norm(goal - x);
        if (feasible && d < best) {
            best = d;
            out = x;
        }
    }
    return best < kHuge;
}
}  // namespace

Vec3 MeshProxy::Resolve(const Vec3& goal, double muS, double muD) noexcept {
    const MeshTree& tree = *tree_;
    std::uint32_t planes[3];
    int count = 0;
    Vec3 from = proxy_;
    Vec3 target = goal;
    for (int pass = 0; pass < 4; ++pass) {
        const auto hit = tree.FirstFrontHit(from, target);
        if (hit.t > 1) {
            from = target;
            break;
        }
        const Vec3& n = tree.Normal(hit.face);
        const Vec3 at = from + hit.t * (target - from);
        from = at + (tree.Offset(hit.face) + kSkin - Dot(n, at)) * n;
        bool known = false;
        for (int i = 0; i < count; ++i) known = known || planes[i] == hit.face;
        if (known || count == 3) break;  // held where it stands
        planes[count++] = hit.face;
        if (!Constrained(tree, planes, count, goal, target)) break;
        // The friction cone, on the first face met: stick while the sideways pull stays within
        // it, slide trailing the device at its dynamic edge otherwise.
        if (count == 1 && (muS > 0 || muD > 0)) {
            const double depth = Norm(goal - target);
            const Vec3 side = target - proxy_;
            const Vec3 along = side - Dot(side, n) * n;
            const double slip = Norm(along);
            if (sticking_ && slip <= muS * depth) {
                target = from;
            } else if (slip <= muD * depth) {
                sticking_ = true;
                target = from;
            } else {
                sticking_ = false;
                target = target - (muD * depth / slip) * along;
            }
        }
    }
    contacts_ = count;
    if (count == 0) sticking_ = true;  // the next touch starts still
    return from;
}

void MeshProxy::Attach(const MeshTree* tree) noexcept {
    owner_.reset();  // never owned on a loop: nothing is freed there
    tree_ = tree;
    started_ = false;
    ramp_ = 1;
    contacts_ = 0;
    sticking_ = true;
}

Vec3 MeshProxy::Step(const Parameters& p, const Vec3& device, const Vec3& velocity,
                     double dt) noexcept {
    pose_ = p;
    if (tree_ == nullptr) return {};
    const auto inverse = Conjugate(p.rotation);
    const Vec3 local = Rotate(inverse, device - p.position);
    if (!started_) {
        started_ = true;
        const auto nearest = tree_->Closest(local);
        // Behind the nearest face: inside. Wait on the surface, stiffness ramping up.
        if (nearest.distance > 0 && Dot(tree_->Normal(nearest.face), local - nearest.point) < 0) {
            proxy_ = nearest.point + kSkin * tree_->Normal(nearest.face);
            ramp_ = 0;
        } else {
            proxy_ = local;
        }
    }
    proxy_ = Resolve(local, p.staticFriction, p.dynamicFriction);
    if (ramp_ < 1) ramp_ = std::min(1.0, ramp_ + std::max(0.0, dt) / kInsideRamp);
    if (contacts_ == 0) return {};
    const Vec3 force =
        (ramp_ * p.stiffness) * (proxy_ - local) - Rotate(inverse, p.damping * velocity);
    return Rotate(p.rotation, force);
}

Vec3 MeshPenalty(const MeshTree& tree, const MeshProxy::Parameters& p, const Vec3& device,
                 const Vec3& velocity) noexcept {
    const auto inverse = Conjugate(p.rotation);
    const Vec3 local = Rotate(inverse, device - p.position);
    const auto nearest = tree.Closest(local);
    if (!(nearest.distance > 0) || Dot(tree.Normal(nearest.face), local - nearest.point) >= 0)
        return {};
    const Vec3 force =
        p.stiffness * (nearest.point - local) - Rotate(inverse, p.damping * velocity);
    return Rotate(p.rotation, force);
}

Vec3 MeshProxy::Proxy() const noexcept { return pose_.position + Rotate(pose_.rotation, proxy_); }

}  // namespace Tamro::HardwareAPI::Control
