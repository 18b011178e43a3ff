// Geometry occlusion: the manager's line test through its octrees against
// testing every polygon, at 100, 1,000 and 10,000 polygons in a world of
// size 1000, segments a tenth of the world long.
#include "geometry/aura_geometry.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <memory>
#include <random>
#include <vector>

namespace {

struct Scene {
    AURA::GeometryMgr manager;
    struct Flat {
        std::vector<AURA_VECTOR> v;
        float n[3];
        float d;
        float direct;
        float reverb;
    };
    std::vector<Flat> polygons; // world space, for the brute force
    std::vector<std::array<AURA_VECTOR, 2>> segments;
};

std::unique_ptr<Scene> makeScene(int count)
{
    auto scene = std::make_unique<Scene>();
    AURA::GeometryI *geometry = nullptr;
    (void)scene->manager.createGeometry(&geometry);
    std::mt19937 rng(static_cast<unsigned int>(count));
    std::uniform_real_distribution<float> coord(-900.0f, 900.0f);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    for (int i = 0; i < count; ++i) {
        // A square of side 10 to 40 in a random plane.
        const AURA_VECTOR c{coord(rng), coord(rng), coord(rng)};
        const float size = 5.0f + 15.0f * unit(rng);
        const int axis = static_cast<int>(rng() % 3);
        std::vector<AURA_VECTOR> v;
        const float corners[4][2] = {{-1, -1}, {1, -1}, {1, 1}, {-1, 1}};
        for (const auto &k : corners) {
            AURA_VECTOR p = c;
            float *a = axis == 0 ? &p.y : &p.x;
            float *b = axis == 2 ? &p.y : &p.z;
            *a += k[0] * size;
            *b += k[1] * size;
            v.push_back(p);
        }
        (void)geometry->addPolygonInternal(0.3f, 0.2f, true, 4, v.data(), nullptr);
        Scene::Flat flat{v, {0, 0, 0}, 0, 0.3f, 0.2f};
        const AURA_VECTOR e1{v[1].x - v[0].x, v[1].y - v[0].y, v[1].z - v[0].z};
        const AURA_VECTOR e2{v[2].x - v[0].x, v[2].y - v[0].y, v[2].z - v[0].z};
        float n[3] = {e1.y * e2.z - e1.z * e2.y, e1.z * e2.x - e1.x * e2.z, e1.x * e2.y - e1.y * e2.x};
        const float len = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        for (int j = 0; j < 3; ++j) {
            flat.n[j] = n[j] / len;
        }
        flat.d = flat.n[0] * v[0].x + flat.n[1] * v[0].y + flat.n[2] * v[0].z;
        scene->polygons.push_back(flat);
    }
    for (int i = 0; i < 1024; ++i) {
        const AURA_VECTOR s{coord(rng), coord(rng), coord(rng)};
        AURA_VECTOR dir{unit(rng) - 0.5f, unit(rng) - 0.5f, unit(rng) - 0.5f};
        const float len = std::sqrt(dir.x * dir.x + dir.y * dir.y + dir.z * dir.z);
        scene->segments.push_back(
            {s, AURA_VECTOR{s.x + dir.x / len * 100.0f, s.y + dir.y / len * 100.0f, s.z + dir.z / len * 100.0f}});
    }
    float direct = 0.0f;
    float reverb = 0.0f;
    (void)scene->manager.lineTestAll(&scene->segments[0][0], &scene->segments[0][1], &direct, &reverb); // flush
    return scene;
}

float bruteForce(const Scene &scene, const AURA_VECTOR &s, const AURA_VECTOR &e)
{
    float transmission = 1.0f;
    for (const Scene::Flat &p : scene.polygons) {
        const float ds = p.n[0] * s.x + p.n[1] * s.y + p.n[2] * s.z - p.d;
        const float de = p.n[0] * e.x + p.n[1] * e.y + p.n[2] * e.z - p.d;
        if (!((ds < 0 && de > 0) || (ds > 0 && de < 0))) {
            continue;
        }
        const float t = ds / (ds - de);
        const AURA_VECTOR q{s.x + (e.x - s.x) * t, s.y + (e.y - s.y) * t, s.z + (e.z - s.z) * t};
        bool inside = true;
        const size_t n = p.v.size();
        for (size_t i = 0; i < n && inside; ++i) {
            const AURA_VECTOR &a = p.v[i];
            const AURA_VECTOR &b = p.v[(i + 1) % n];
            const AURA_VECTOR edge{b.x - a.x, b.y - a.y, b.z - a.z};
            const AURA_VECTOR out{edge.y * p.n[2] - edge.z * p.n[1], edge.z * p.n[0] - edge.x * p.n[2],
                                  edge.x * p.n[1] - edge.y * p.n[0]};
            inside = out.x * (q.x - a.x) + out.y * (q.y - a.y) + out.z * (q.z - a.z) <= 0.0f;
        }
        if (inside) {
            transmission *= 1.0f - p.direct;
        }
    }
    return 1.0f - transmission;
}

void BM_GeometryOcclusionOctree(benchmark::State &state)
{
    const auto scene = makeScene(static_cast<int>(state.range(0)));
    size_t i = 0;
    for (auto _ : state) {
        const auto &segment = scene->segments[i++ % scene->segments.size()];
        float direct = 0.0f;
        float reverb = 0.0f;
        (void)scene->manager.lineTestAll(&segment[0], &segment[1], &direct, &reverb);
        benchmark::DoNotOptimize(direct);
    }
}
BENCHMARK(BM_GeometryOcclusionOctree)->Arg(100)->Arg(1000)->Arg(10000);

void BM_GeometryOcclusionBruteForce(benchmark::State &state)
{
    const auto scene = makeScene(static_cast<int>(state.range(0)));
    size_t i = 0;
    for (auto _ : state) {
        const auto &segment = scene->segments[i++ % scene->segments.size()];
        benchmark::DoNotOptimize(bruteForce(*scene, segment[0], segment[1]));
    }
}
BENCHMARK(BM_GeometryOcclusionBruteForce)->Arg(100)->Arg(1000)->Arg(10000);

} // namespace
