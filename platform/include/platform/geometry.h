// Points, sizes, rectangles and affine transforms in the screen's points, as
// the headless view model and the notifications that describe it use them.
#ifndef PLATFORM_GEOMETRY_H
#define PLATFORM_GEOMETRY_H

#include <cmath>
#include <initializer_list>

namespace platform {

struct Point {
    double x = 0.0;
    double y = 0.0;
    friend bool operator==(const Point &, const Point &) = default;
};

struct Size {
    double width = 0.0;
    double height = 0.0;
    friend bool operator==(const Size &, const Size &) = default;
};

struct Rect {
    Point origin;
    Size size;
    [[nodiscard]] static constexpr Rect make(double x, double y, double w, double h) { return {{x, y}, {w, h}}; }
    [[nodiscard]] bool contains(Point p) const
    {
        return p.x >= origin.x && p.y >= origin.y && p.x < origin.x + size.width && p.y < origin.y + size.height;
    }
    friend bool operator==(const Rect &, const Rect &) = default;
};

// x' = a x + c y + tx, y' = b x + d y + ty.
struct AffineTransform {
    double a = 1.0, b = 0.0, c = 0.0, d = 1.0, tx = 0.0, ty = 0.0;

    [[nodiscard]] static AffineTransform identity() { return {}; }
    // Sine and cosine within 1e-12 of 0 or ±1 are taken as exact, so a
    // quarter turn maps whole points to whole points and edges stay edges.
    [[nodiscard]] static AffineTransform rotation(double angle)
    {
        auto snap = [](double v) {
            for (const double exact : {-1.0, 0.0, 1.0}) {
                if (std::fabs(v - exact) < 1e-12)
                    return exact;
            }
            return v;
        };
        const double c = snap(std::cos(angle));
        const double s = snap(std::sin(angle));
        return {c, s, -s, c, 0.0, 0.0};
    }
    [[nodiscard]] static AffineTransform scale(double sx, double sy) { return {sx, 0.0, 0.0, sy, 0.0, 0.0}; }

    [[nodiscard]] Point apply(Point p) const { return {a * p.x + c * p.y + tx, b * p.x + d * p.y + ty}; }
    [[nodiscard]] bool invertible() const { return std::fabs(a * d - b * c) > 1e-12; }
    // The identity when the transform cannot be inverted (a zero scale).
    [[nodiscard]] AffineTransform inverted() const
    {
        const double det = a * d - b * c;
        if (std::fabs(det) <= 1e-12)
            return {};
        return {d / det, -b / det, -c / det, a / det, (c * ty - d * tx) / det, (b * tx - a * ty) / det};
    }
    [[nodiscard]] bool isIdentity() const { return *this == AffineTransform{}; }
    friend bool operator==(const AffineTransform &, const AffineTransform &) = default;
};

} // namespace platform

#endif // PLATFORM_GEOMETRY_H
