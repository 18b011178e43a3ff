// Geometry occlusion through the public interface, against a brute-force
// line test written here over every polygon in world space; and the
// occlusion worker's queue.
#include "aura.h"
#include "aura.hpp"
#include "geometry/aura_geometry.h"
#include "systems.h"
#include "threads.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <random>
#include <utility>
#include <vector>

namespace {

using Vec = std::array<double, 3>;

Vec sub(const Vec &a, const Vec &b)
{
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
Vec cross(const Vec &a, const Vec &b)
{
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}
double dot(const Vec &a, const Vec &b)
{
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
double norm(const Vec &a)
{
    return std::sqrt(dot(a, a));
}
Vec scaled(const Vec &a, double s)
{
    return {a[0] * s, a[1] * s, a[2] * s};
}
AURA_VECTOR toAura(const Vec &v)
{
    return AURA_VECTOR{static_cast<float>(v[0]), static_cast<float>(v[1]), static_cast<float>(v[2])};
}

struct Polygon {
    std::vector<AURA_VECTOR> local;
    float direct;
    float reverb;
    bool doubleSided;
};

// One geometry object as the test keeps it: its polygons and its placement.
struct Object {
    AURA::Geometry *handle = nullptr;
    std::vector<Polygon> polygons;
    Vec position{0, 0, 0};
    Vec forward{0, 0, 1};
    Vec up{0, 1, 0};
    Vec scale{1, 1, 1};
    bool active = true;

    // Local x, y, z along right, up, forward, each scaled, then moved.
    [[nodiscard]] Vec toWorld(const AURA_VECTOR &p) const
    {
        const Vec f = scaled(forward, 1.0 / norm(forward));
        Vec u = sub(up, scaled(f, dot(up, f)));
        u = scaled(u, 1.0 / norm(u));
        const Vec r = cross(u, f);
        Vec out = position;
        for (int i = 0; i < 3; ++i) {
            out[i] += r[i] * scale[0] * p.x + u[i] * scale[1] * p.y + f[i] * scale[2] * p.z;
        }
        return out;
    }
    void place(const Vec &pos, const Vec &fwd, const Vec &upv, const Vec &scl)
    {
        position = pos;
        forward = fwd;
        up = upv;
        scale = scl;
        const AURA_VECTOR p = toAura(pos), f = toAura(fwd), u = toAura(upv), s = toAura(scl);
        ASSERT_EQ(handle->setPosition(&p), AURA_OK);
        ASSERT_EQ(handle->setRotation(&f, &u), AURA_OK);
        ASSERT_EQ(handle->setScale(&s), AURA_OK);
    }
};

struct Expected {
    double direct;
    double reverb;
    bool ambiguous; // a crossing too near an edge or the plane to call
};

// A polygon in world space, as the brute force tests it.
struct WorldPolygon {
    std::vector<Vec> v;
    Vec normal;
    double d;
    const Polygon *source;
};

// Every polygon of every active object in world space; degenerate ones
// (no normal) left out.
std::vector<WorldPolygon> worldPolygons(const std::vector<Object> &objects)
{
    std::vector<WorldPolygon> out;
    for (const Object &object : objects) {
        if (!object.active || !object.handle) {
            continue;
        }
        for (const Polygon &polygon : object.polygons) {
            WorldPolygon world{{}, {0, 0, 0}, 0.0, &polygon};
            for (const AURA_VECTOR &p : polygon.local) {
                world.v.push_back(object.toWorld(p));
            }
            for (size_t i = 0; i + 2 < world.v.size(); ++i) {
                const Vec c = cross(sub(world.v[i + 1], world.v[0]), sub(world.v[i + 2], world.v[0]));
                world.normal = {world.normal[0] + c[0], world.normal[1] + c[1], world.normal[2] + c[2]};
            }
            const double len = norm(world.normal);
            if (!(len > 1e-12)) {
                continue;
            }
            world.normal = scaled(world.normal, 1.0 / len);
            world.d = dot(world.normal, world.v[0]);
            out.push_back(std::move(world));
        }
    }
    return out;
}

// The engine's crossing and inside rules over every polygon.
Expected bruteForce(const std::vector<WorldPolygon> &polygons, const Vec &s, const Vec &e, bool minimum)
{
    Expected out{1.0, 1.0, false};
    for (const WorldPolygon &polygon : polygons) {
        const double ds = dot(polygon.normal, s) - polygon.d;
        const double de = dot(polygon.normal, e) - polygon.d;
        const bool crosses = (ds < 0 && de > 0) || (ds > 0 && de < 0);
        if (!crosses) {
            out.ambiguous = out.ambiguous || std::fabs(ds) < 1e-4 || std::fabs(de) < 1e-4;
            continue;
        }
        if (std::fabs(ds) < 1e-4 || std::fabs(de) < 1e-4) {
            out.ambiguous = true;
        }
        if (ds > 0 && !polygon.source->doubleSided) {
            continue;
        }
        const double t = ds / (ds - de);
        const Vec p{s[0] + (e[0] - s[0]) * t, s[1] + (e[1] - s[1]) * t, s[2] + (e[2] - s[2]) * t};
        const size_t n = polygon.v.size();
        bool inside = true;
        for (size_t i = 0; i < n; ++i) {
            const Vec outward = cross(sub(polygon.v[(i + 1) % n], polygon.v[i]), polygon.normal);
            const double distance = dot(outward, sub(p, polygon.v[i])) / norm(outward);
            if (std::fabs(distance) < 1e-4) {
                out.ambiguous = true;
            }
            inside = inside && distance <= 0;
        }
        if (!inside) {
            continue;
        }
        const double direct = 1.0 - polygon.source->direct;
        const double reverb = 1.0 - polygon.source->reverb;
        if (!minimum) {
            out.direct *= direct;
            out.reverb *= reverb;
        } else if (direct < out.direct || (direct == out.direct && reverb < out.reverb)) {
            out.direct = direct;
            out.reverb = reverb;
        }
    }
    return {1.0 - out.direct, 1.0 - out.reverb, out.ambiguous};
}

class Scene : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        const unsigned int flags = GetParam() ? AURA_INIT_GEOMETRY_USECLOSEST : AURA_INIT_NORMAL;
        handle = auratest::startSystem(AURA_OUTPUTTYPE_NOSOUND_NRT, 8, flags);
        ASSERT_NE(handle, nullptr);
        system = reinterpret_cast<AURA::System *>(handle);
    }
    void TearDown() override
    {
        if (system) {
            EXPECT_EQ(system->release(), AURA_OK);
        }
    }
    std::array<float, 2> occlusion(const Vec &s, const Vec &e)
    {
        const AURA_VECTOR a = toAura(s), b = toAura(e);
        std::array<float, 2> out{-1.0f, -1.0f};
        EXPECT_EQ(system->getGeometryOcclusion(&a, &b, &out[0], &out[1]), AURA_OK);
        return out;
    }

    AURA_SYSTEM *handle = nullptr;
    AURA::System *system = nullptr;
};

TEST_P(Scene, RandomPolygonsMatchBruteForceWhileObjectsMoveAndGo)
{
    const bool minimum = GetParam();
    std::mt19937 rng(minimum ? 77 : 26);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto range = [&](double lo, double hi) { return lo + (hi - lo) * unit(rng); };
    auto direction = [&]() {
        Vec v;
        do {
            v = {range(-1, 1), range(-1, 1), range(-1, 1)};
        } while (norm(v) < 0.1);
        return scaled(v, 1.0 / norm(v));
    };

    std::vector<Object> objects(3);
    for (size_t o = 0; o < objects.size(); ++o) {
        ASSERT_EQ(system->createGeometry(&objects[o].handle), AURA_OK);
        for (int i = 0; i < 1000 / 3 + (o == 0 ? 1 : 0); ++i) {
            // A convex polygon: 3 to 6 points in order round a circle.
            Polygon polygon;
            const Vec centre{range(-60, 60), range(-60, 60), range(-60, 60)};
            const Vec a = direction();
            Vec b = cross(a, direction());
            b = scaled(b, 1.0 / norm(b));
            const Vec c = cross(a, b);
            const double radius = range(3, 25);
            const int count = 3 + static_cast<int>(rng() % 4);
            std::vector<double> angles;
            for (int k = 0; k < count; ++k) {
                angles.push_back(range(0, 2 * M_PI));
            }
            std::sort(angles.begin(), angles.end());
            for (double angle : angles) {
                polygon.local.push_back(
                    toAura({centre[0] + radius * (std::cos(angle) * b[0] + std::sin(angle) * c[0]),
                            centre[1] + radius * (std::cos(angle) * b[1] + std::sin(angle) * c[1]),
                            centre[2] + radius * (std::cos(angle) * b[2] + std::sin(angle) * c[2])}));
            }
            polygon.direct = static_cast<float>(range(0, 1));
            polygon.reverb = static_cast<float>(range(0, 1));
            polygon.doubleSided = rng() % 3 == 0;
            int index = -1;
            ASSERT_EQ(objects[o].handle->addPolygon(polygon.direct, polygon.reverb, polygon.doubleSided, count,
                                                    polygon.local.data(), &index),
                      AURA_OK);
            EXPECT_EQ(index, static_cast<int>(objects[o].polygons.size()));
            objects[o].polygons.push_back(polygon);
        }
        objects[o].place({range(-50, 50), range(-50, 50), range(-50, 50)}, direction(), direction(),
                         {range(0.5, 2), range(0.5, 2), range(0.5, 2)});
    }

    int compared = 0;
    int occluded = 0;
    int stoppedEarly = 0;
    auto query = [&](int count) {
        const std::vector<WorldPolygon> world = worldPolygons(objects);
        for (int i = 0; i < count; ++i) {
            const Vec s{range(-120, 120), range(-120, 120), range(-120, 120)};
            const Vec dir = direction();
            const Vec e = {s[0] + dir[0] * range(10, 200), s[1] + dir[1] * range(10, 200),
                           s[2] + dir[2] * range(10, 200)};
            const Expected want = bruteForce(world, s, e, minimum);
            if (want.ambiguous) {
                continue;
            }
            const std::array<float, 2> got = occlusion(s, e);
            ++compared;
            occluded += want.direct > 0 ? 1 : 0;
            const bool early = 1.0 - got[0] < 0.05 && 1.0 - got[1] < 0.05;
            if (early && !minimum) {
                // The walk stopped once both paths were nearly closed.
                ++stoppedEarly;
                ASSERT_GE(got[0], 0.95f);
                ASSERT_GE(got[1], 0.95f);
                ASSERT_LE(got[0], want.direct + 1e-5);
                ASSERT_LE(got[1], want.reverb + 1e-5);
                continue;
            }
            ASSERT_NEAR(got[0], want.direct, 1e-5) << "segment " << i;
            ASSERT_NEAR(got[1], want.reverb, 1e-5) << "segment " << i;
        }
    };

    query(4000);
    objects[0].place({10, -20, 30}, direction(), direction(), {1.5, 0.7, 1.2});
    ASSERT_EQ(objects[1].handle->setActive(false), AURA_OK);
    objects[1].active = false;
    query(3000);
    ASSERT_EQ(objects[1].handle->setActive(true), AURA_OK);
    objects[1].active = true;
    ASSERT_EQ(objects[2].handle->release(), AURA_OK);
    objects[2].handle = nullptr;
    EXPECT_EQ(objects[2].handle, nullptr);
    query(3000);

    // Most segments were compared, and enough of them were occluded for
    // the comparison to mean something.
    EXPECT_GT(compared, 9000);
    EXPECT_GT(occluded, 1500);
    if (!minimum) {
        EXPECT_GT(stoppedEarly, 0);
    }
}

TEST_P(Scene, StackedOppositeAndDegeneratePolygons)
{
    const bool minimum = GetParam();
    auto square = [](double z) {
        return std::vector<AURA_VECTOR>{{-1, -1, static_cast<float>(z)},
                                        {1, -1, static_cast<float>(z)},
                                        {1, 1, static_cast<float>(z)},
                                        {-1, 1, static_cast<float>(z)}};
    };
    // No geometry at all: open.
    EXPECT_EQ(occlusion({0, 0, 0}, {0, 0, 5}), (std::array<float, 2>{0.0f, 0.0f}));

    AURA::Geometry *stack = nullptr;
    ASSERT_EQ(system->createGeometry(&stack), AURA_OK);
    // Degenerate polygons never occlude: two points, and three in a line.
    const std::vector<AURA_VECTOR> line{{-1, 0, 1}, {0, 0, 1}, {1, 0, 1}};
    ASSERT_EQ(stack->addPolygon(1.0f, 1.0f, true, 2, line.data(), nullptr), AURA_OK);
    ASSERT_EQ(stack->addPolygon(1.0f, 1.0f, true, 3, line.data(), nullptr), AURA_OK);
    EXPECT_EQ(occlusion({0, 0.5, 0}, {0, -0.5, 2}), (std::array<float, 2>{0.0f, 0.0f}));

    for (double z : {1.0, 2.0}) {
        ASSERT_EQ(stack->addPolygon(0.5f, 0.5f, false, 4, square(z).data(), nullptr), AURA_OK);
    }
    const float stacked = minimum ? 0.5f : 0.75f;
    EXPECT_EQ(occlusion({0, 0, 0}, {0, 0, 5}), (std::array<float, 2>{stacked, stacked}));
    // Entering single-sided polygons from their front side: open.
    EXPECT_EQ(occlusion({0, 0, 5}, {0, 0, 0}), (std::array<float, 2>{0.0f, 0.0f}));
    // An end on the plane is no crossing.
    EXPECT_EQ(occlusion({0, 0, 0}, {0, 0, 1}), (std::array<float, 2>{0.0f, 0.0f}));
    EXPECT_EQ(occlusion({0, 0, 2}, {0, 0, 3}), (std::array<float, 2>{0.0f, 0.0f}));
    // Beside the squares.
    EXPECT_EQ(occlusion({3, 0, 0}, {3, 0, 5}), (std::array<float, 2>{0.0f, 0.0f}));
    ASSERT_EQ(stack->release(), AURA_OK);

    // Three walls of 0.9: the walk stops after two (both paths below 0.05).
    AURA::Geometry *walls = nullptr;
    ASSERT_EQ(system->createGeometry(&walls), AURA_OK);
    for (double z : {1.0, 2.0, 3.0}) {
        ASSERT_EQ(walls->addPolygon(0.9f, 0.9f, false, 4, square(z).data(), nullptr), AURA_OK);
    }
    const std::array<float, 2> three = occlusion({0, 0, 0}, {0, 0, 5});
    EXPECT_NEAR(three[0], minimum ? 0.9f : 0.99f, 1e-6);
    EXPECT_NEAR(three[1], minimum ? 0.9f : 0.99f, 1e-6);
}

TEST_P(Scene, BadInputIsRefused)
{
    AURA::Geometry *geometry = nullptr;
    ASSERT_EQ(system->createGeometry(&geometry), AURA_OK);
    const AURA_VECTOR good[3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}};
    const AURA_VECTOR nan[3] = {{0, 0, 0}, {NAN, 0, 0}, {0, 1, 0}};
    const AURA_VECTOR inf[3] = {{0, 0, 0}, {INFINITY, 0, 0}, {0, 1, 0}};
    int index = 7;
    EXPECT_EQ(geometry->addPolygon(0.5f, 0.5f, false, 3, nan, &index), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(index, -1);
    EXPECT_EQ(geometry->addPolygon(0.5f, 0.5f, false, 3, inf, nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(geometry->addPolygon(1.5f, 0.5f, false, 3, good, nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(geometry->addPolygon(0.5f, NAN, false, 3, good, nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(geometry->addPolygon(0.5f, 0.5f, false, -1, good, nullptr), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(geometry->addPolygon(0.5f, 0.5f, false, 3, nullptr, nullptr), AURA_ERR_INVALID_PARAM);
    int count = -1;
    EXPECT_EQ(geometry->getNumPolygons(&count), AURA_OK);
    EXPECT_EQ(count, 0);
    const AURA_VECTOR zero{0, 0, 0};
    const AURA_VECTOR x{1, 0, 0};
    const AURA_VECTOR x2{2, 0, 0};
    const AURA_VECTOR flat{1, 0, 1};
    EXPECT_EQ(geometry->setScale(&flat), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(geometry->setRotation(&x, &x2), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(geometry->setRotation(&zero, &x), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(system->setGeometrySettings(0.0f), AURA_ERR_INVALID_PARAM);
    EXPECT_EQ(system->getGeometryOcclusion(nullptr, &x, nullptr, nullptr), AURA_ERR_INVALID_PARAM);
    ASSERT_EQ(geometry->release(), AURA_OK);
    EXPECT_EQ(geometry->release(), AURA_ERR_INVALID_HANDLE);
    EXPECT_EQ(geometry->getNumPolygons(&count), AURA_ERR_INVALID_HANDLE);
}

TEST_P(Scene, WorldSizeChangeKeepsAnswers)
{
    AURA::Geometry *geometry = nullptr;
    ASSERT_EQ(system->createGeometry(&geometry), AURA_OK);
    const AURA_VECTOR wall[4] = {{-1, -1, 1}, {1, -1, 1}, {1, 1, 1}, {-1, 1, 1}};
    ASSERT_EQ(geometry->addPolygon(0.6f, 0.3f, false, 4, wall, nullptr), AURA_OK);
    const AURA_VECTOR far{4000, 0, 0};
    ASSERT_EQ(geometry->setPosition(&far), AURA_OK);
    for (float size : {1000.0f, 10.0f, 100000.0f}) {
        ASSERT_EQ(system->setGeometrySettings(size), AURA_OK);
        std::array<float, 2> got = occlusion({4000, 0, 0}, {4000, 0, 2});
        EXPECT_NEAR(got[0], 0.6f, 1e-6) << size;
        EXPECT_NEAR(got[1], 0.3f, 1e-6) << size;
    }
    float size = 0.0f;
    EXPECT_EQ(system->getGeometrySettings(&size), AURA_OK);
    EXPECT_EQ(size, 100000.0f);
}

INSTANTIATE_TEST_SUITE_P(Rules, Scene, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) { return info.param ? "Lowest" : "Product"; });

// The worker's queue: results come back for the channel that asked, once;
// a request made again while the worker computes is answered anew; a
// channel index out of range is ignored; the thread ends with its manager.
TEST(OcclusionThreads, QueueAnswersEachChannelOnce)
{
    AURA::GeometryMgr manager;
    manager.mNumChannels = 4;
    ASSERT_EQ(manager.initCritalSection(), AURA_OK);
    AURA::GeometryI *geometry = nullptr;
    ASSERT_EQ(manager.createGeometry(&geometry), AURA_OK);
    const AURA_VECTOR wall[4] = {{-1, -1, 1}, {1, -1, 1}, {1, 1, 1}, {-1, 1, 1}};
    ASSERT_EQ(geometry->addPolygonInternal(0.6f, 0.2f, false, 4, wall, nullptr), AURA_OK);

    const AURA_VECTOR listener{0, 0, 0};
    const AURA_VECTOR behind{0, 0, 2};
    const AURA_VECTOR reverb{0, 0, 0};
    AURA::OcclusionThread &worker = manager.mOcclusionThread;
    AURA::OcclusionResult result;
    EXPECT_FALSE(worker.retrieveOcclusion(0, &result)); // nothing asked yet
    worker.enqueue(1, 0x1234, behind, listener, &reverb);
    worker.enqueue(9, 0x9999, behind, listener, nullptr); // no such channel
    ASSERT_TRUE(auratest::waitFor([&] { return worker.retrieveOcclusion(1, &result); }));
    EXPECT_EQ(result.mHandle, 0x1234u);
    EXPECT_NEAR(result.mDirectOcclusion, 0.6f, 1e-6);
    EXPECT_NEAR(result.mReverbOcclusion, 0.2f, 1e-6);
    // The reverb path from the source back to the reverb crosses the wall
    // from its front side: open.
    EXPECT_NEAR(result.mReverbGain, 1.0f, 1e-6);
    EXPECT_FALSE(worker.retrieveOcclusion(1, &result)); // collected once
    EXPECT_FALSE(worker.retrieveOcclusion(9, &result));

    // A newer request replaces a pending one: the answer is the newer one's.
    const AURA_VECTOR front{0, 0, 0.5f};
    for (int i = 0; i < 200; ++i) {
        worker.enqueue(2, 100u + static_cast<unsigned int>(i), i % 2 ? behind : front, listener, nullptr);
    }
    worker.enqueue(2, 7777, front, listener, nullptr);
    ASSERT_TRUE(auratest::waitFor([&] { return worker.retrieveOcclusion(2, &result) && result.mHandle == 7777u; }));
    EXPECT_EQ(result.mDirectOcclusion, 0.0f);

    const unsigned int tid = worker.threadID();
    ASSERT_NE(tid, 0u);
    EXPECT_EQ(auratest::taskName(tid), "AURA geometry t");
    ASSERT_EQ(manager.releaseOcclusionThread(), AURA_OK);
    EXPECT_FALSE(auratest::taskExists(tid));
}

} // namespace
