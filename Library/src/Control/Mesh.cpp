// The mesh tree (binned SAH) and the god-object proxy (Zilles and Salisbury 1995, with the
// constraint planes of Ruspini, Kolarov and Khatib 1997).
#include "Tamro/HardwareAPI/Control/Mesh.hpp"

#include <algorithm>
#include <cstring>
#include <future>
#include <limits>
#include <stdexcept>
#include <string>

namespace Tamro::HardwareAPI::Control {
namespace {

constexpr int kBins = 16;
constexpr std::uint32_t kLeafFaces = 4;
// The traversal stack: a query holds at most a node's depth plus one. Past kForceMedianDepth
// every split halves, so 2^31 faces end in leaves within 29 more levels.
constexpr int kStack = 96;
constexpr int kForceMedianDepth = 48;
// The build splits the right half of the top levels' ranges off to other threads: 2^levels
// subtrees built at once (the tree is the same: see Grow), and none smaller than this.
constexpr int kParallelLevels = 2;
constexpr std::uint32_t kParallelFaces = 20000;
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

// The box grown by `grow` on every side (a sphere's radius: its centre's reach).
bool SegmentMeetsBox(const MeshTree::Node& n, const Vec3& a, const Vec3& inv, double limit,
                     double grow) {
    double t0 = 0, t1 = limit;
    for (int i = 0; i < 3; ++i) {
        const double lower = n.lower[i] - grow, upper = n.upper[i] + grow;
        double lo = (lower - a[i]) * inv[i], hi = (upper - a[i]) * inv[i];
        if (lo > hi) std::swap(lo, hi);
        if (std::isnan(lo) || std::isnan(hi)) {  // parallel and on a slab's edge: inside it
            if (a[i] < lower || a[i] > upper) return false;
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

namespace {

// The build bins and partitions in float (half the bytes read per pass, which is what it
// costs): each face's bounds rounded outward, so that every box still holds its faces' double
// corners and the queries, which test faces in double, stay exact.
using Box3 = std::array<float, 3>;
constexpr float kHugeF = std::numeric_limits<float>::infinity();

// The float next to f toward minus (Down) or plus (Up) infinity, f finite: by its bits, as
// nextafter without the library call (a million faces take six each).
float Below(float f) {
    if (f == 0) return -std::numeric_limits<float>::denorm_min();
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    bits += f > 0 ? -1u : 1u;
    std::memcpy(&f, &bits, sizeof bits);
    return f;
}
float Down(double x) {
    const auto f = static_cast<float>(x);
    return static_cast<double>(f) > x ? Below(f) : f;
}
float Up(double x) {
    const auto f = static_cast<float>(x);
    return static_cast<double>(f) < x ? -Below(-f) : f;
}

// A face as the build sorts it: its bounds beside its index, so that binning and partitioning
// read one array in order rather than three by index. Its centre is (lo + hi) / 2; the build
// works with twice that, lo + hi, the same sum wherever it is taken.
struct Prim {
    Box3 lo, hi;
    std::uint32_t face;
};

struct Bounds {
    Box3 lo{kHugeF, kHugeF, kHugeF}, hi{-kHugeF, -kHugeF, -kHugeF};
    // Written out: the loop the compiler would otherwise keep costs a third of the build.
    void Grow(const Box3& l, const Box3& h) {
        lo[0] = std::min(lo[0], l[0]);
        lo[1] = std::min(lo[1], l[1]);
        lo[2] = std::min(lo[2], l[2]);
        hi[0] = std::max(hi[0], h[0]);
        hi[1] = std::max(hi[1], h[1]);
        hi[2] = std::max(hi[2], h[2]);
    }
    void Grow(const Bounds& b) { Grow(b.lo, b.hi); }
    // Surface area over two; the SAH compares, so the factor does not matter.
    double Area() const {
        if (lo[0] > hi[0]) return 0;
        const double x = static_cast<double>(hi[0]) - lo[0], y = static_cast<double>(hi[1]) - lo[1],
                     z = static_cast<double>(hi[2]) - lo[2];
        return x * y + y * z + z * x;
    }
};

Box3 Sum(const Prim& p) { return {p.lo[0] + p.hi[0], p.lo[1] + p.hi[1], p.lo[2] + p.hi[2]}; }

// A range of the build's faces with its bounds, known before it is split (from its parent's
// bins), so that splitting it reads its faces twice: once to bin them, once to partition them.
struct Range {
    std::uint32_t first, count;
    Bounds box;
};

Range Measure(const Prim* prims, std::uint32_t first, std::uint32_t count) {
    Range r{first, count, {}};
    for (std::uint32_t k = first; k < first + count; ++k) r.box.Grow(prims[k].lo, prims[k].hi);
    return r;
}

// The axis along which the range's centres spread the most.
int CentresAxis(const Prim* prims, const Range& r) {
    Bounds centres;
    for (std::uint32_t k = r.first; k < r.first + r.count; ++k) {
        const Box3 c = Sum(prims[k]);
        centres.Grow(c, c);
    }
    int axis = 0;
    for (int a = 1; a < 3; ++a)
        if (centres.hi[a] - centres.lo[a] > centres.hi[axis] - centres.lo[axis]) axis = a;
    return axis;
}

// Splits a range in two by the binned surface-area heuristic along its box's longest axis, the
// faces binned by their centres across the box (the median past kForceMedianDepth, or when
// the heuristic finds no split, along the axis the centres spread most). The box rather than
// the centres' own bounds: keeping those in every bin costs a third more a face, and a mesh's
// faces are small beside the boxes that split them.
// `bin` is scratch beside `prims`: each face's bin, noted while binning, so that partitioning
// reads a byte a face to decide and moves the face only when it must.
std::pair<Range, Range> Split(Prim* prims, std::uint8_t* bin, const Range& r, int depth) {
    int axis = 0;
    const Box3& lo = r.box.lo;
    const Box3& hi = r.box.hi;
    for (int a = 1; a < 3; ++a)
        if (hi[a] - lo[a] > hi[axis] - lo[axis]) axis = a;
    const float extent = 2 * (hi[axis] - lo[axis]);  // the centres' sums' range
    if (extent > 0 && depth < kForceMedianDepth) {
        struct Bin {
            Bounds box;
            std::uint32_t n = 0;
        };
        std::array<Bin, kBins> bins{};
        const float scale = kBins / extent, origin = 2 * lo[axis];
        for (std::uint32_t k = r.first; k < r.first + r.count; ++k) {
            const Prim& p = prims[k];
            // Out of range (rounding at the top, or no number) is clamped.
            const float x = (p.lo[axis] + p.hi[axis] - origin) * scale;
            const int which = x > 0 ? std::min(kBins - 1, static_cast<int>(x)) : 0;
            bin[k] = static_cast<std::uint8_t>(which);
            Bin& b = bins[which];
            b.box.Grow(p.lo, p.hi);
            ++b.n;
        }
        std::array<double, kBins> leftCost{};
        Bounds l;
        std::uint32_t ln = 0;
        for (int s = 0; s < kBins - 1; ++s) {
            l.Grow(bins[s].box);
            ln += bins[s].n;
            leftCost[s] = ln ? l.Area() * ln : 0;
        }
        double best = kHuge;
        int split = -1;
        Bounds rb;
        std::uint32_t rn = 0;
        for (int s = kBins - 1; s > 0; --s) {
            rb.Grow(bins[s].box);
            rn += bins[s].n;
            const double cost = leftCost[s - 1] + (rn ? rb.Area() * rn : 0);
            if (rn > 0 && rn < r.count && cost < best) {
                best = cost;
                split = s;
            }
        }
        if (split >= 0) {
            // Hoare's: from both ends, swapping each pair found on the wrong sides.
            std::uint32_t i = r.first, j = r.first + r.count;
            for (;;) {
                while (i < j && bin[i] < split) ++i;
                while (i < j && bin[j - 1] >= split) --j;
                if (i + 1 >= j) break;
                std::swap(prims[i], prims[j - 1]);
                std::swap(bin[i], bin[j - 1]);
                ++i;
                --j;
            }
            const std::uint32_t middle = i;
            Range left{r.first, middle - r.first, {}},
                right{middle, r.first + r.count - middle, {}};
            for (int s = 0; s < kBins; ++s) {
                Range& side = s < split ? left : right;
                side.box.Grow(bins[s].box);
            }
            return {left, right};
        }
    }
    // Rare (faces whose centres meet, past the box's long axis): one more pass.
    axis = CentresAxis(prims, r);
    // Ties broken by the face, so the median is the same whatever order the range came in.
    const std::uint32_t middle = r.first + r.count / 2;
    std::nth_element(prims + r.first, prims + middle, prims + r.first + r.count,
                     [&](const Prim& x, const Prim& y) {
                         const float a = x.lo[axis] + x.hi[axis], b = y.lo[axis] + y.hi[axis];
                         return a < b || (a == b && x.face < y.face);
                     });
    return {Measure(prims, r.first, middle - r.first),
            Measure(prims, middle, r.first + r.count - middle)};
}

Vec3 Wide(const Box3& b) { return {b[0], b[1], b[2]}; }

using Node = MeshTree::Node;

// The subtree under nodes[at] (its range r): both children side by side, then all of the
// left child's descendants, then all of the right's. The same layout whoever builds which
// part, so the tree is the same whatever the threads.
void Grow(std::vector<Node>& nodes, std::uint32_t at, Prim* prims, std::uint8_t* bin,
          const Range& r, int depth, int threaded) {
    nodes[at] = {Wide(r.box.lo), Wide(r.box.hi), r.first, r.count};
    if (r.count <= kLeafFaces) return;
    // Named, not bound: a lambda below captures the right half.
    const std::pair<Range, Range> halves = Split(prims, bin, r, depth);
    const Range& left = halves.first;
    const Range& right = halves.second;
    const auto l = static_cast<std::uint32_t>(nodes.size());
    nodes[at].first = l;
    nodes[at].count = 0;
    nodes.push_back({});
    nodes.push_back({});
    if (threaded > 0 && right.count > kParallelFaces) {
        // The right subtree on another thread, into nodes of its own (its root first), spliced
        // in after the left one.
        std::vector<Node> other(1);
        other.reserve(2 * right.count / kLeafFaces + 2);
        auto task = std::async(std::launch::async,
                               [&] { Grow(other, 0, prims, bin, right, depth + 1, threaded - 1); });
        Grow(nodes, l, prims, bin, left, depth + 1, threaded - 1);
        task.get();
        const auto base = static_cast<std::uint32_t>(nodes.size()) - 1;  // other[k] -> base + k
        auto moved = [&](Node n) {
            if (n.count == 0) n.first += base;
            return n;
        };
        nodes[l + 1] = moved(other[0]);
        for (std::size_t k = 1; k < other.size(); ++k) nodes.push_back(moved(other[k]));
    } else {
        Grow(nodes, l, prims, bin, left, depth + 1, threaded);
        Grow(nodes, l + 1, prims, bin, right, depth + 1, threaded);
    }
}

}  // namespace

std::shared_ptr<const MeshTree> MeshTree::Build(std::vector<Vec3> vertices,
                                                std::vector<Face> faces) {
    if (faces.empty()) throw std::invalid_argument("faces: must not be empty");
    if (faces.size() >= (1u << 31)) throw std::invalid_argument("faces: too many");
    for (const auto& v : vertices)
        for (double c : v)
            if (!(std::abs(c) <= MaxCoordinate))
                throw std::invalid_argument("vertices: must be finite and within " +
                                            std::to_string(static_cast<long long>(MaxCoordinate)) +
                                            " m of the origin");
    std::shared_ptr<MeshTree> tree(new MeshTree());
    auto& t = *tree;
    const auto count = static_cast<std::uint32_t>(faces.size());
    t.normals_.resize(count);
    t.offsets_.resize(count);
    std::vector<Prim> prims(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const auto& f = faces[i];
        for (auto k : f)
            if (k >= vertices.size())
                throw std::invalid_argument("faces: index " + std::to_string(k) + " out of range");
        const Vec3 &a = vertices[f[0]], &b = vertices[f[1]], &c = vertices[f[2]];
        const Vec3 n = Cross(b - a, c - a);
        const double length = Norm(n);
        // A degenerate face has no front: it never stops the proxy.
        const Vec3 unit = length > 0 ? (1 / length) * n : Vec3{};
        t.normals_[i] = unit;
        t.offsets_[i] = Dot(unit, a);
        const Vec3 lo = Min(Min(a, b), c), hi = Max(Max(a, b), c);
        prims[i] = {{Down(lo[0]), Down(lo[1]), Down(lo[2])}, {Up(hi[0]), Up(hi[1]), Up(hi[2])}, i};
    }
    t.vertices_ = std::move(vertices);
    t.faces_ = std::move(faces);
    // The adjacency beside the hierarchy, on a thread of its own: they share nothing but the
    // faces and vertices they read.
    auto adjacency = std::async(std::launch::async, [&t] { t.Connect(); });
    t.nodes_.reserve(2 * count / kLeafFaces + 2);
    t.nodes_.resize(1);
    std::vector<std::uint8_t> bins(count);
    Grow(t.nodes_, 0, prims.data(), bins.data(), Measure(prims.data(), 0, count), 0,
         kParallelLevels);
    t.order_.resize(count);
    for (std::uint32_t k = 0; k < count; ++k) t.order_[k] = prims[k].face;
    adjacency.get();
    return tree;
}

// Each vertex's faces side by side (counted, then placed), then each face's edges found among
// the faces at the edge's lower vertex: linear in the faces, no sort, no hash. An edge belongs
// to the lowest face that has it, which lists it; the others take its index.
void MeshTree::Connect() {
    const auto count = static_cast<std::uint32_t>(faces_.size());
    const auto vertices = vertices_.size();
    // A corner given twice (a degenerate face) puts its face at the vertex once.
    auto first = [](const Face& f, int k) {
        return k == 0 || (f[k] != f[0] && (k == 1 || f[k] != f[1]));
    };
    std::vector<std::uint32_t> start(vertices + 1, 0);
    for (const auto& f : faces_)
        for (int k = 0; k < 3; ++k)
            if (first(f, k)) ++start[f[k] + 1];
    for (std::size_t v = 0; v < vertices; ++v) start[v + 1] += start[v];
    // A face at a vertex, with its corners after and before that vertex: its two edges there.
    struct Slot {
        std::uint32_t face, next, prev;
    };
    std::vector<Slot> at(start[vertices]);
    {
        std::vector<std::uint32_t> next(start.begin(), start.end() - 1);
        for (std::uint32_t i = 0; i < count; ++i) {
            const auto& f = faces_[i];
            for (int k = 0; k < 3; ++k)
                if (first(f, k)) at[next[f[k]]++] = {i, f[(k + 1) % 3], f[(k + 2) % 3]};
        }
    }
    vertexFaces_.assign(vertices, NoFace);
    for (std::size_t v = 0; v < vertices; ++v)
        if (start[v] < start[v + 1]) vertexFaces_[v] = at[start[v]].face;
    // Which edge of face g runs between a and b, either way round.
    auto edgeIn = [&](std::uint32_t g, std::uint32_t a, std::uint32_t b) {
        const auto& f = faces_[g];
        int k = 0;
        while (k < 2 && !((f[k] == a && f[k + 1] == b) || (f[k] == b && f[k + 1] == a))) ++k;
        return k;
    };
    faceEdges_.assign(count, {NoFace, NoFace, NoFace});
    edges_.clear();
    edges_.reserve(count * 3 / 2 + 16);
    for (std::uint32_t i = 0; i < count; ++i)
        for (int k = 0; k < 3; ++k) {
            if (faceEdges_[i][k] != NoFace) continue;  // listed by a lower face
            const auto a = faces_[i][k], b = faces_[i][(k + 1) % 3];
            const auto id = static_cast<std::uint32_t>(edges_.size());
            Edge edge{std::min(a, b), std::max(a, b), {i, NoFace}};
            faceEdges_[i][k] = id;
            for (auto s = start[edge.from]; s < start[edge.from + 1]; ++s) {
                const Slot& slot = at[s];
                // Lower faces had it listed already.
                if (slot.face <= i || (slot.next != edge.to && slot.prev != edge.to)) continue;
                faceEdges_[slot.face][edgeIn(slot.face, a, b)] = id;
                if (edge.faces[1] == NoFace) edge.faces[1] = slot.face;
            }
            edges_.push_back(edge);
        }
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

// The first t in [0, 1] where |w + t d| == r for w, d already taken perpendicular to a line
// (an edge) or whole (a vertex), entering: none (kHuge) when inside at t = 0 or never near.
double Entering(const Vec3& w, const Vec3& d, double r) {
    const double a = Dot(d, d), b = Dot(w, d), c = Dot(w, w) - r * r;
    if (c < 0 || !(b < 0) || !(a > 0)) return kHuge;
    const double disc = b * b - a * c;
    if (disc < 0) return kHuge;
    const double t = std::max(0.0, (-b - std::sqrt(disc)) / a);
    if (t > 1) return kHuge;
    return t;
}

// When a sphere of radius r > 0, its centre moving a + t d, first touches the closed
// triangle p0 p1 p2 from the front: the face's plane lifted by r (its touch within the
// triangle), the cylinders round its edges and the balls round its corners, each entered
// from outside; the least t is the first touch of the triangle grown by r.
double SweptSphere(const Vec3& a, const Vec3& d, double r, const Vec3& p0, const Vec3& p1,
                   const Vec3& p2, const Vec3& normal) {
    if (!(Dot(normal, normal) > 0)) return kHuge;  // degenerate: no front
    const double side = Dot(normal, a - p0);
    const Vec3 near = ClosestOnTriangle(a, p0, p1, p2);
    const double gap2 = Dot(a - near, a - near);
    if (gap2 < r * r) {  // already within r: stopped now if it closes in from the front
        if (side < 0) return kHuge;
        const Vec3 away = gap2 > 0 ? a - near : normal;
        return Dot(away, d) < 0 ? 0 : kHuge;
    }
    double best = kHuge;
    const double closing = Dot(normal, d);
    if (closing < 0 && side >= r) {
        const double t = (side - r) / -closing;
        const Vec3 on = a + t * d - r * normal;
        if (t <= 1 && Dot(Cross(p1 - p0, on - p0), normal) >= 0 &&
            Dot(Cross(p2 - p1, on - p1), normal) >= 0 && Dot(Cross(p0 - p2, on - p2), normal) >= 0)
            best = t;
    }
    const Vec3* corner[3] = {&p0, &p1, &p2};
    for (int k = 0; k < 3; ++k) {
        const Vec3 &p = *corner[k], &q = *corner[(k + 1) % 3];
        best = std::min(best, Entering(a - p, d, r));
        const Vec3 e = q - p;
        const double e2 = Dot(e, e);
        if (!(e2 > 0)) continue;
        const Vec3 w = a - p;
        const Vec3 wp = w - (Dot(w, e) / e2) * e, dp = d - (Dot(d, e) / e2) * e;
        const double t = Entering(wp, dp, r);
        if (t < best) {
            const double along = Dot(w + t * d, e) / e2;
            if (along >= 0 && along <= 1) best = t;
        }
    }
    // In front of the face's plane at the touch, or it is the face's back.
    if (best <= 1 && Dot(normal, a + best * d - p0) < 0) return kHuge;
    return best;
}

}  // namespace

double MeshTree::FaceHit(std::uint32_t i, const Vec3& a, const Vec3& d,
                         double radius) const noexcept {
    const auto& f = faces_[i];
    const Vec3 &p0 = vertices_[f[0]], &p1 = vertices_[f[1]], &p2 = vertices_[f[2]];
    return radius > 0 ? SweptSphere(a, d, radius, p0, p1, p2, normals_[i])
                      : FrontCrossing(a, d, p0, p1, p2, normals_[i]);
}

void MeshTree::Touch(Hit& hit, const Vec3& a, const Vec3& d) const noexcept {
    if (hit.t > 1) return;
    const Vec3 centre = a + hit.t * d;
    const auto& f = faces_[hit.face];
    hit.point = ClosestOnTriangle(centre, vertices_[f[0]], vertices_[f[1]], vertices_[f[2]]);
    const Vec3 away = centre - hit.point;
    const double gap = Norm(away);
    // A point on the face (or a sphere's centre on it): the face's own normal.
    hit.normal = gap > 1e-12 && Dot(away, normals_[hit.face]) < gap * (1 - 1e-12)
                     ? (1 / gap) * away
                     : normals_[hit.face];
}

MeshTree::Hit MeshTree::FirstFrontHit(const Vec3& a, const Vec3& b, double radius) const noexcept {
    const Vec3 d = b - a;
    const Vec3 inv{1 / d[0], 1 / d[1], 1 / d[2]};
    Hit hit;
    std::uint32_t stack[kStack];
    int top = 0;
    stack[top++] = 0;
    while (top > 0) {
        const Node& n = nodes_[stack[--top]];
        if (!SegmentMeetsBox(n, a, inv, std::min(hit.t, 1.0), radius)) continue;
        if (n.count == 0) {
            stack[top++] = n.first;
            stack[top++] = n.first + 1;
            continue;
        }
        for (std::uint32_t k = n.first; k < n.first + n.count; ++k) {
            const auto i = order_[k];
            const double t = FaceHit(i, a, d, radius);
            if (t < hit.t || (t == hit.t && t <= 1 && i < hit.face)) {
                hit.t = t;
                hit.face = i;
            }
        }
    }
    Touch(hit, a, d);
    return hit;
}

MeshTree::Hit MeshTree::FirstFrontHitBruteForce(const Vec3& a, const Vec3& b,
                                                double radius) const noexcept {
    Hit hit;
    for (std::uint32_t i = 0; i < faces_.size(); ++i) {
        const double t = FaceHit(i, a, b - a, radius);
        if (t < hit.t) {
            hit.t = t;
            hit.face = i;
        }
    }
    Touch(hit, a, b - a);
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
// A constraint: the proxy stays where Dot(normal, x) >= offset.
struct Constraint {
    Vec3 normal;
    double offset;
};

// The point nearest `goal` on the given planes (each lifted by the skin), or false when they
// do not meet in one.
bool OnPlanes(const Constraint* planes, int count, const Vec3& goal, Vec3& out) {
    double g[3][3], r[3];
    for (int i = 0; i < count; ++i) {
        r[i] = Dot(planes[i].normal, goal) - planes[i].offset - kSkin;
        for (int j = 0; j < count; ++j) g[i][j] = Dot(planes[i].normal, planes[j].normal);
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
    for (int i = 0; i < count; ++i) out = out - l[i] * planes[i].normal;
    return true;
}

// Nearest point to `goal` in front of every constraint (Ruspini's quadratic programme, solved
// by trying each subset of at most three planes as equalities).
bool Constrained(const Constraint* planes, int count, const Vec3& goal, Vec3& out) {
    double best = kHuge;
    for (int mask = 1; mask < (1 << count); ++mask) {
        Constraint chosen[3];
        int n = 0;
        for (int i = 0; i < count; ++i)
            if (mask & (1 << i)) chosen[n++] = planes[i];
        Vec3 x;
        if (!OnPlanes(chosen, n, goal, x)) continue;
        bool feasible = true;
        for (int i = 0; i < count; ++i)
            if (Dot(planes[i].normal, x) - planes[i].offset < kSkin * 0.5) feasible = false;
        const double d = Norm(goal - x);
        if (feasible && d < best) {
            best = d;
            out = x;
        }
    }
    return best < kHuge;
}
}  // namespace

Vec3 MeshProxy::Resolve(const Vec3& goal, double radius, double muS, double muD) noexcept {
    const MeshTree& tree = *tree_;
    Constraint planes[3];
    std::uint32_t faces[3];
    int count = 0;
    Vec3 from = proxy_;
    Vec3 target = goal;
    for (int pass = 0; pass < 4; ++pass) {
        const auto hit = tree.FirstFrontHit(from, target, radius);
        if (hit.t > 1) {
            from = target;
            break;
        }
        // The plane tangent to the mesh grown by the radius where the sphere touched it (a
        // point: the face's own plane).
        const Vec3& n = hit.normal;
        const Constraint plane{n, Dot(n, hit.point) + radius};
        const Vec3 at = from + hit.t * (target - from);
        from = at + (plane.offset + kSkin - Dot(n, at)) * n;
        bool known = false;
        for (int i = 0; i < count; ++i) known = known || faces[i] == hit.face;
        if (known || count == 3) break;  // held where it stands
        faces[count] = hit.face;
        planes[count++] = plane;
        if (!Constrained(planes, count, goal, target)) break;
        // The friction cone, on the first constraint met: stick while the sideways pull stays
        // within it, slide trailing the device at its dynamic edge otherwise.
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
        const Vec3& normal = tree_->Normal(nearest.face);
        // Behind the nearest face: inside; or a sphere's centre nearer than its radius. Wait on
        // the surface grown by the radius, stiffness ramping up.
        const bool behind = nearest.distance > 0 && Dot(normal, local - nearest.point) < 0;
        if (behind || nearest.distance < p.radius) {
            const Vec3 out = behind || !(nearest.distance > 0)
                                 ? normal
                                 : (1 / nearest.distance) * (local - nearest.point);
            proxy_ = nearest.point + (p.radius + kSkin) * out;
            ramp_ = 0;
        } else {
            proxy_ = local;
        }
    }
    proxy_ = Resolve(local, p.radius, p.staticFriction, p.dynamicFriction);
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
    const Vec3& normal = tree.Normal(nearest.face);
    const bool behind = nearest.distance > 0 && Dot(normal, local - nearest.point) < 0;
    if (!behind && !(nearest.distance < p.radius)) return {};
    const Vec3 out = behind || !(nearest.distance > 0)
                         ? normal
                         : (1 / nearest.distance) * (local - nearest.point);
    const Vec3 force = p.stiffness * (nearest.point + p.radius * out - local) -
                       Rotate(inverse, p.damping * velocity);
    return Rotate(p.rotation, force);
}

Vec3 MeshProxy::Proxy() const noexcept { return pose_.position + Rotate(pose_.rotation, proxy_); }

}  // namespace Tamro::HardwareAPI::Control
