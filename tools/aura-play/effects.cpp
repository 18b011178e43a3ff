#include "effects.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

namespace auraplay {
namespace {

// Every unit type the engine might have built in.
constexpr AURA_DSP_TYPE kTypes[] = {
    AURA_DSP_TYPE_OSCILLATOR, AURA_DSP_TYPE_LOWPASS,    AURA_DSP_TYPE_ITLOWPASS, AURA_DSP_TYPE_LOWPASS_SIMPLE,
    AURA_DSP_TYPE_HIGHPASS,   AURA_DSP_TYPE_ECHO,       AURA_DSP_TYPE_DELAY,     AURA_DSP_TYPE_FLANGE,
    AURA_DSP_TYPE_TREMOLO,    AURA_DSP_TYPE_DISTORTION, AURA_DSP_TYPE_NORMALIZE, AURA_DSP_TYPE_PARAMEQ,
    AURA_DSP_TYPE_PITCHSHIFT, AURA_DSP_TYPE_CHORUS,     AURA_DSP_TYPE_REVERB,    AURA_DSP_TYPE_ITECHO,
    AURA_DSP_TYPE_COMPRESSOR, AURA_DSP_TYPE_SFXREVERB,
};

struct UnitDeleter {
    void operator()(AURA::DSP *dsp) const { (void)dsp->release(); }
};
using UnitHandle = std::unique_ptr<AURA::DSP, UnitDeleter>;

UnitHandle makeUnit(AURA::System *system, AURA_DSP_TYPE type)
{
    AURA::DSP *dsp = nullptr;
    if (system->createDSPByType(type, &dsp) != AURA_OK) {
        return nullptr;
    }
    return UnitHandle(dsp);
}

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string withoutSpaces(const char *text)
{
    std::string out;
    for (const char *p = text; *p; ++p) {
        if (*p != ' ') {
            out += *p;
        }
    }
    return out;
}

// A key names a parameter when it begins its name without spaces, or one
// of the name's words ("type" names "Oscillator type").
bool namedBy(const char *parameterName, const std::string &key)
{
    if (lower(withoutSpaces(parameterName)).rfind(key, 0) == 0) {
        return true;
    }
    const std::string name = lower(parameterName);
    for (size_t at = name.find(' '); at != std::string::npos; at = name.find(' ', at + 1)) {
        if (name.compare(at + 1, key.size(), key) == 0) {
            return true;
        }
    }
    return false;
}

std::optional<float> toFloat(const std::string &text)
{
    if (text.empty()) {
        return std::nullopt;
    }
    errno = 0;
    char *end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value)) {
        return std::nullopt;
    }
    return static_cast<float>(value);
}

// The texts an enumerated parameter gives its whole values; empty for a
// plain number parameter.
std::vector<std::string> valueNames(AURA::DSP *dsp, int index, float min, float max)
{
    std::vector<std::string> names;
    if (max - min > 64.0f || min != std::floor(min)) {
        return names;
    }
    float original = 0.0f;
    (void)dsp->getParameter(index, &original, nullptr, 0);
    for (float v = min; v <= max; v += 1.0f) {
        char text[32] = {};
        if (dsp->setParameter(index, v) != AURA_OK ||
            dsp->getParameter(index, nullptr, text, sizeof(text)) != AURA_OK || toFloat(text)) {
            names.clear();
            break;
        }
        names.emplace_back(text);
    }
    (void)dsp->setParameter(index, original);
    return names;
}

} // namespace

std::string effectName(const char *unitName)
{
    std::string name = unitName;
    if (name.rfind("AURA ", 0) == 0) {
        name.erase(0, 5);
    }
    std::replace(name.begin(), name.end(), ' ', '-');
    return lower(name);
}

bool resolveEffect(AURA::System *system, const std::string &text, EffectSpec &spec, std::string &error)
{
    const size_t colon = text.find(':');
    const std::string wanted = lower(text.substr(0, colon));
    UnitHandle unit;
    for (AURA_DSP_TYPE type : kTypes) {
        UnitHandle candidate = makeUnit(system, type);
        char name[32] = {};
        if (candidate && candidate->getInfo(name, nullptr, &spec.channels, nullptr, nullptr) == AURA_OK &&
            effectName(name) == wanted) {
            spec.type = type;
            spec.name = wanted;
            unit = std::move(candidate);
            break;
        }
    }
    if (!unit) {
        error = "unknown unit '" + text.substr(0, colon) + "' (see --list-dsp)";
        return false;
    }
    int count = 0;
    (void)unit->getNumParameters(&count);
    std::string rest = colon == std::string::npos ? std::string() : text.substr(colon + 1);
    size_t at = 0;
    while (colon != std::string::npos && at <= rest.size()) {
        const size_t comma = std::min(rest.find(',', at), rest.size());
        const std::string item = rest.substr(at, comma - at);
        at = comma + 1;
        const size_t equals = item.find('=');
        if (equals == std::string::npos) {
            error = "parameter '" + item + "' of " + wanted + " needs =value";
            return false;
        }
        const std::string key = lower(item.substr(0, equals));
        const std::string value = item.substr(equals + 1);
        int index = -1;
        char *end = nullptr;
        const long number = std::strtol(key.c_str(), &end, 10);
        if (!key.empty() && *end == '\0') {
            index = number >= 0 && number < count ? static_cast<int>(number) : -1;
        } else {
            for (int i = 0; i < count && !key.empty(); ++i) {
                char pname[16] = {};
                (void)unit->getParameterInfo(i, pname, nullptr, nullptr, 0, nullptr, nullptr);
                if (namedBy(pname, key)) {
                    if (index >= 0) {
                        error = "parameter '" + key + "' of " + wanted + " is ambiguous";
                        return false;
                    }
                    index = i;
                }
            }
        }
        if (index < 0) {
            error = "unknown parameter '" + key + "' of " + wanted;
            return false;
        }
        float min = 0.0f, max = 0.0f;
        (void)unit->getParameterInfo(index, nullptr, nullptr, nullptr, 0, &min, &max);
        std::optional<float> v = toFloat(value);
        if (!v) {
            const std::vector<std::string> names = valueNames(unit.get(), index, min, max);
            for (size_t n = 0; n < names.size(); ++n) {
                std::string spaced = lower(value);
                std::replace(spaced.begin(), spaced.end(), '-', ' ');
                if (lower(names[n]) == spaced) {
                    v = min + static_cast<float>(n);
                }
            }
        }
        if (!v || *v < min || *v > max) {
            error = "invalid value '" + value + "' for " + wanted + " parameter " + key;
            return false;
        }
        spec.parameters.emplace_back(index, *v);
    }
    return true;
}

std::string listEffects(AURA::System *system)
{
    std::string out;
    for (AURA_DSP_TYPE type : kTypes) {
        UnitHandle unit = makeUnit(system, type);
        if (!unit) {
            continue;
        }
        char name[32] = {};
        int channels = 0;
        int count = 0;
        (void)unit->getInfo(name, nullptr, &channels, nullptr, nullptr);
        (void)unit->getNumParameters(&count);
        out += effectName(name);
        out += channels > 0 ? "  (generator)\n" : "\n";
        for (int i = 0; i < count; ++i) {
            char pname[16] = {}, label[16] = {}, text[32] = {};
            float min = 0.0f, max = 0.0f, value = 0.0f;
            (void)unit->getParameterInfo(i, pname, label, nullptr, 0, &min, &max);
            (void)unit->getParameter(i, &value, text, sizeof(text));
            char line[192];
            std::snprintf(line, sizeof(line), "  %d %-16s %g .. %g, default %s%s%s", i, pname, static_cast<double>(min),
                          static_cast<double>(max), text, label[0] ? " " : "", label);
            out += line;
            const std::vector<std::string> names = valueNames(unit.get(), i, min, max);
            if (!names.empty()) {
                out += "  (";
                for (size_t n = 0; n < names.size(); ++n) {
                    out += (n ? ", " : "") + names[n];
                }
                out += ")";
            }
            out += "\n";
        }
    }
    return out;
}

AURA_RESULT applyEffects(AURA::System *system, const std::vector<EffectSpec> &specs, std::vector<AURA::DSP *> &units,
                         std::vector<AURA::DSP *> &generators)
{
    AURA::ChannelGroup *master = nullptr;
    AURA_RESULT result = system->getMasterChannelGroup(&master);
    for (const EffectSpec &spec : specs) {
        if (result != AURA_OK) {
            break;
        }
        AURA::DSP *dsp = nullptr;
        result = system->createDSPByType(spec.type, &dsp);
        if (result != AURA_OK) {
            break;
        }
        units.push_back(dsp);
        for (const auto &[index, value] : spec.parameters) {
            if (result == AURA_OK) {
                result = dsp->setParameter(index, value);
            }
        }
        if (result == AURA_OK) {
            if (spec.channels > 0) {
                generators.push_back(dsp);
            } else {
                result = master->addDSP(dsp);
            }
        }
    }
    return result;
}

} // namespace auraplay
