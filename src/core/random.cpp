#include "core/random.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>
#include <type_traits>

namespace tarvo {

namespace {

// k! for k = 0 .. 9, used by the PD method for small counts.
constexpr std::array<double, 10> kFactorials{1.0,   1.0,    2.0,    6.0,     24.0,
                                             120.0, 720.0, 5040.0, 40320.0, 362880.0};

// Rejected exponential passes of the PD method after which the current count
// is returned. With a finite mean of sensible size a pass is accepted with
// probability well above one half, so the cap is never reached; it only stops
// means so large (beyond about 1e31) that the acceptance test loses all
// precision and could reject forever.
constexpr int kMaxExponentialPasses = 10000;

template <class T>
T uniform_int_impl(std::mt19937& gen, T a, T b) {
    using U = std::make_unsigned_t<T>;
    constexpr int kDigits = std::numeric_limits<U>::digits;
    const U range = static_cast<U>(static_cast<U>(b) - static_cast<U>(a) + U{1});
    if (range == 1) {
        return a;
    }
    // Bits needed for range - 1; a range of 0 has wrapped: the whole width.
    const int bits = range == 0 ? kDigits : std::bit_width(static_cast<U>(range - 1));
    const U mask = bits >= kDigits ? ~U{0} : static_cast<U>((U{1} << bits) - 1);
    for (;;) {
        U raw = static_cast<U>(gen());
        if constexpr (kDigits > 32) {
            if (bits > 32) {
                raw |= static_cast<U>(gen()) << 32;
            }
        }
        const U u = static_cast<U>(raw & mask);
        if (range == 0 || u < range) {
            return static_cast<T>(static_cast<U>(static_cast<U>(a) + u));
        }
    }
}

// A count computed in double, clamped to the int range.
int clamp_count(double k) noexcept {
    if (k >= 2147483648.0) {
        return std::numeric_limits<int>::max();
    }
    if (k <= -2147483648.0) {
        return std::numeric_limits<int>::min();
    }
    if (std::isnan(k)) {
        return 0;
    }
    return static_cast<int>(k);
}

int poisson_multiplication(std::mt19937& gen, const PoissonParams& p) {
    int k = 0;
    double prod = uniform01(gen);
    while (prod > p.L) {
        ++k;
        prod *= uniform01(gen);
    }
    return k;
}

// Ahrens and Dieter (1982), procedure PD.
int poisson_pd(std::mt19937& gen, const PoissonParams& p) {
    const double mu = p.mean;
    double k = 0.0;
    double fk = 0.0;
    double u = 0.0;
    bool exponential_pass = true;

    const double g = mu + p.s * standard_normal(gen);
    if (g > 0.0) {
        k = std::trunc(g);
        if (k >= p.L) {
            return clamp_count(k);
        }
        fk = mu - k;
        u = uniform01(gen);
        if (p.d * u >= fk * fk * fk) {
            return clamp_count(k);
        }
        exponential_pass = false;
    }

    for (int passes = 0;; ++passes) {
        double e = 0.0;
        if (exponential_pass) {
            if (passes > kMaxExponentialPasses) {
                return clamp_count(k);
            }
            double t = 0.0;
            do {
                e = exponential(gen);
                u = uniform01(gen);
                u = 2.0 * u - 1.0;
                t = 1.8 + (u < 0.0 ? -e : e);
            } while (!(t > -0.6744));
            k = std::trunc(mu + p.s * t);
            fk = mu - k;
        }

        double px = 0.0;
        double py = 0.0;
        if (k >= 0.0 && k < 10.0) {
            px = -mu;
            py = std::pow(mu, k) / kFactorials[static_cast<std::size_t>(k)];
        } else {
            double del = 0.08333333 / k;
            del = del - 4.8 * del * del * del;
            const double v = fk / k;
            if (std::fabs(v) > 0.25) {
                px = k * std::log(1.0 + v) - fk - del;
            } else {
                px = k * v * v *
                         (((((((0.1250060 * v - 0.1384794) * v + 0.1421878) * v - 0.1661269) * v +
                             0.2000118) *
                                v -
                            0.2500068) *
                               v +
                           0.3333333) *
                              v -
                          0.5) -
                     del;
            }
            py = 0.3989423 / std::sqrt(k);
        }

        const double r = (0.5 - fk) / p.s;
        const double r2 = r * r;
        const double fx = -0.5 * r2;
        const double fy = p.omega * (((p.c3 * r2 + p.c2) * r2 + p.c1) * r2 + p.c0);

        if (exponential_pass) {
            if (p.c * std::fabs(u) <= py * std::exp(px + e) - fy * std::exp(fx + e)) {
                return clamp_count(k);
            }
        } else if (fy - u * fy <= py * std::exp(px - fx)) {
            return clamp_count(k);
        }
        exponential_pass = true;
    }
}

}  // namespace

void seed_generator(std::mt19937& gen, std::int32_t seed) {
    // Signed to unsigned conversion is modular: -1 becomes 4294967295.
    gen.seed(static_cast<std::uint32_t>(seed));
}

double uniform01(std::mt19937& gen) {
    const std::uint64_t a = gen();
    const std::uint64_t b = gen();
    const std::uint64_t combined = a + (b << 32);
    return static_cast<double>(combined) * 0x1p-64;
}

std::int32_t uniform_int(std::mt19937& gen, std::int32_t a, std::int32_t b) {
    return uniform_int_impl(gen, a, b);
}

std::int64_t uniform_int(std::mt19937& gen, std::int64_t a, std::int64_t b) {
    return uniform_int_impl(gen, a, b);
}

std::uint64_t uniform_int(std::mt19937& gen, std::uint64_t a, std::uint64_t b) {
    return uniform_int_impl(gen, a, b);
}

PoissonParams::PoissonParams(double m) {
    if (std::isinf(m)) {
        m = std::numeric_limits<double>::max();
    }
    // A NaN mean would make every acceptance test of the PD method fail and
    // never return: it is drawn as a mean of 0.
    if (std::isnan(m)) {
        m = 0.0;
    }
    mean = m;
    if (m < 10.0) {
        multiplication = true;
        L = std::exp(-m);
        return;
    }
    multiplication = false;
    s = std::sqrt(m);
    d = 6.0 * m * m;
    L = std::trunc(m - 1.1484);
    omega = 0.3989423 / s;
    const double b1 = 0.04166667 / m;
    const double b2 = 0.3 * b1 * b1;
    c3 = 0.1428571 * b1 * b2;
    c2 = b2 - 15.0 * c3;
    c1 = b1 - 6.0 * b2 + 45.0 * c3;
    c0 = 1.0 - b1 + 3.0 * b2 - 15.0 * c3;
    c = 0.1069 / m;
}

int poisson(std::mt19937& gen, const PoissonParams& params) {
    return params.multiplication ? poisson_multiplication(gen, params) : poisson_pd(gen, params);
}

double standard_normal(std::mt19937& gen) {
    double u = 0.0;
    double q = 0.0;
    do {
        u = 2.0 * uniform01(gen) - 1.0;
        const double v = 2.0 * uniform01(gen) - 1.0;
        q = u * u + v * v;
    } while (q > 1.0 || q == 0.0);
    return u * std::sqrt(-2.0 * std::log(q) / q);
}

double exponential(std::mt19937& gen) {
    return -std::log(1.0 - uniform01(gen));
}

void sort_names(std::vector<std::string>& names) {
    std::sort(names.begin(), names.end());
}

FeatureMap project_features(const FeatureMap& x, const std::vector<std::string>& names) {
    if (names.empty()) {
        return x;
    }
    FeatureMap out;
    out.reserve(names.size());
    for (const std::string& name : names) {
        const auto it = x.find(name);
        if (it != x.end()) {
            out.emplace(name, it->second);
        }
    }
    return out;
}

}  // namespace tarvo
