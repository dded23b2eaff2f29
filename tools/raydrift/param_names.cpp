#include "param_names.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "cli_error.h"
#include "settings/units.h"

namespace raydrift::cli {

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(std::string s) {
    const auto b = s.find_first_not_of(" \t");
    const auto e = s.find_last_not_of(" \t");
    return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

std::vector<std::string> splitItems(const char* items) {
    std::vector<std::string> out;
    if (!items) return out;
    std::string all(items), item;
    std::stringstream ss(all);
    while (std::getline(ss, item, '|')) out.push_back(item);
    return out;
}

std::string join(std::vector<std::string> const& items, std::string const& sep) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) out += (i ? sep : "") + items[i];
    return out;
}

std::string number(double v, int precision) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", std::max(0, precision), v);
    return buf;
}

bool parseNumber(std::string text, double& value) {
    text = trim(text);
    if (!text.empty() && text.back() == '%') text = trim(text.substr(0, text.size() - 1));
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end && *end == '\0' && std::isfinite(value);
}

bool endsWithPath(std::string const& path, std::string const& tail) {
    if (tail.size() > path.size()) return false;
    if (path.compare(path.size() - tail.size(), tail.size(), tail) != 0) return false;
    return tail.size() == path.size() || path[path.size() - tail.size() - 1] == '/';
}

}  // namespace

std::string typeName(PF_ParamType type) {
    switch (type) {
        case PF_Param_LAYER: return "layer";
        case PF_Param_SLIDER: return "slider";
        case PF_Param_FIX_SLIDER: return "fixed slider";
        case PF_Param_ANGLE: return "angle";
        case PF_Param_CHECKBOX: return "checkbox";
        case PF_Param_COLOR: return "colour";
        case PF_Param_POINT: return "point";
        case PF_Param_POPUP: return "menu";
        case PF_Param_NO_DATA: return "no data";
        case PF_Param_FLOAT_SLIDER: return "float slider";
        case PF_Param_GROUP_START: return "group start";
        case PF_Param_GROUP_END: return "group end";
        case PF_Param_BUTTON: return "button";
        default: return "type " + std::to_string(type);
    }
}

std::vector<ParamInfo> describeParams(std::vector<PF_ParamDef> const& defs) {
    std::vector<ParamInfo> params;
    std::vector<std::string> groups;
    std::vector<bool> hiddenGroups;
    for (std::size_t i = 0; i < defs.size(); ++i) {
        PF_ParamDef const& d = defs[i];
        ParamInfo p;
        p.index = static_cast<int>(i);
        p.name = i == 0 ? "(input)" : std::string(d.name);
        p.type = i == 0 ? PF_Param_LAYER : d.param_type;
        const bool inHiddenGroup =
            std::find(hiddenGroups.begin(), hiddenGroups.end(), true) != hiddenGroups.end();
        p.hidden = (d.ui_flags & PF_PUI_INVISIBLE) != 0 || inHiddenGroup;
        p.path = join(groups, "/");
        p.path += (p.path.empty() ? "" : "/") + p.name;
        switch (p.type) {
            case PF_Param_FLOAT_SLIDER:
                p.validMin = d.u.fs_d.valid_min;
                p.validMax = d.u.fs_d.valid_max;
                p.defaultValue = d.u.fs_d.dephault;
                p.percent = (d.u.fs_d.display_flags & PF_ValueDisplayFlag_PERCENT) != 0;
                p.precision = d.u.fs_d.precision;
                break;
            case PF_Param_SLIDER:
                p.validMin = d.u.sd.valid_min;
                p.validMax = d.u.sd.valid_max;
                p.defaultValue = d.u.sd.dephault;
                break;
            case PF_Param_ANGLE:
                p.defaultValue = d.u.ad.dephault / kFixedOne;
                p.validMin = -32767.0;
                p.validMax = 32767.0;
                p.precision = 2;
                break;
            case PF_Param_CHECKBOX:
                p.defaultValue = d.u.bd.dephault;
                break;
            case PF_Param_POPUP:
                p.menuItems = splitItems(d.u.pd.u.namesptr);
                p.defaultValue = d.u.pd.dephault;
                break;
            case PF_Param_COLOR:
                p.defaultColour = d.u.cd.dephault;
                break;
            default:
                break;
        }
        p.control = (d.ui_flags & PF_PUI_CONTROL) != 0;
        p.settable = i > 0 && !p.hidden && !p.control &&
                     (p.type == PF_Param_FLOAT_SLIDER || p.type == PF_Param_SLIDER ||
                      p.type == PF_Param_ANGLE || p.type == PF_Param_CHECKBOX ||
                      p.type == PF_Param_POPUP || p.type == PF_Param_COLOR);
        if (p.type == PF_Param_GROUP_START) {
            groups.push_back(p.name);
            hiddenGroups.push_back((d.ui_flags & PF_PUI_INVISIBLE) != 0);
        } else if (p.type == PF_Param_GROUP_END && !groups.empty()) {
            groups.pop_back();
            hiddenGroups.pop_back();
        }
        params.push_back(p);
    }

    // A name that repeats inside one group takes the checkbox before it as a sub-group.
    std::map<std::string, int> seen;
    for (ParamInfo const& p : params)
        if (p.settable) seen[lower(p.path)]++;
    for (std::size_t i = 0; i < params.size(); ++i) {
        ParamInfo& p = params[i];
        if (!p.settable || seen[lower(p.path)] < 2) continue;
        for (std::size_t j = i; j-- > 0;) {
            if (params[j].type == PF_Param_GROUP_START) break;
            if (params[j].type == PF_Param_CHECKBOX && params[j].settable) {
                const auto slash = p.path.rfind('/');
                p.path = p.path.substr(0, slash + 1) + params[j].name + "/" + p.name;
                break;
            }
        }
    }
    return params;
}

ParamInfo const& findParam(std::vector<ParamInfo> const& params, std::string const& name) {
    const std::string wanted = lower(trim(name));
    std::vector<ParamInfo const*> matches;
    for (ParamInfo const& p : params)
        if (p.settable && endsWithPath(lower(p.path), wanted)) matches.push_back(&p);
    if (matches.size() == 1) return *matches.front();
    // A name that also appears deeper down means the shallower parameter: "Length" is the
    // streak's Length, not the Jitter switch of the same name.
    if (matches.size() > 1) {
        auto depth = [](ParamInfo const* p) { return std::count(p->path.begin(), p->path.end(), '/'); };
        std::sort(matches.begin(), matches.end(),
                  [&](ParamInfo const* a, ParamInfo const* b) { return depth(a) < depth(b); });
        if (depth(matches[0]) < depth(matches[1])) return *matches.front();
    }

    std::vector<std::string> names;
    if (matches.size() > 1) {
        for (ParamInfo const* p : matches) names.push_back("\"" + p->path + "\"");
        throw UsageError("parameter \"" + name + "\" is ambiguous; say one of: " + join(names, ", "));
    }
    for (ParamInfo const& p : params)
        if (p.settable) names.push_back("\"" + p.path + "\"");
    throw UsageError("unknown parameter \"" + name + "\"; known: " + join(names, ", "));
}

std::pair<std::string, std::string> splitAssignment(std::string const& text) {
    const auto eq = text.find('=');
    if (eq == std::string::npos)
        throw UsageError("--set expects \"Name=value\", got \"" + text + "\"");
    return {trim(text.substr(0, eq)), trim(text.substr(eq + 1))};
}

void applyAssignments(std::vector<ParamInfo> const& params, std::vector<std::string> const& assignments,
                      std::vector<PF_ParamDef>& defs) {
    for (std::string const& a : assignments) {
        const auto [name, value] = splitAssignment(a);
        ParamInfo const& p = findParam(params, name);
        applyValue(p, value, defs.at(static_cast<std::size_t>(p.index)));
    }
}

std::string rangeText(ParamInfo const& p) {
    switch (p.type) {
        case PF_Param_FLOAT_SLIDER:
        case PF_Param_SLIDER:
            return number(p.validMin, p.precision) + " to " + number(p.validMax, p.precision) +
                   (p.percent ? " %" : "");
        case PF_Param_ANGLE: return "degrees";
        case PF_Param_CHECKBOX: return "on|off";
        case PF_Param_POPUP: return join(p.menuItems, "|");
        case PF_Param_COLOR: return "#rrggbb or r,g,b (0-255)";
        default: return "";
    }
}

std::string defaultText(ParamInfo const& p) {
    switch (p.type) {
        case PF_Param_FLOAT_SLIDER:
        case PF_Param_SLIDER:
            return number(p.defaultValue, p.precision) + (p.percent ? "%" : "");
        case PF_Param_ANGLE: return number(p.defaultValue, 0);
        case PF_Param_CHECKBOX: return p.defaultValue != 0 ? "on" : "off";
        case PF_Param_POPUP: {
            const int item = static_cast<int>(p.defaultValue);
            return item >= 1 && item <= static_cast<int>(p.menuItems.size()) ? p.menuItems[item - 1]
                                                                               : std::to_string(item);
        }
        case PF_Param_COLOR: {
            char buf[16];
            std::snprintf(buf, sizeof buf, "#%02x%02x%02x", p.defaultColour.red,
                          p.defaultColour.green, p.defaultColour.blue);
            return buf;
        }
        default: return "";
    }
}

void applyValue(ParamInfo const& p, std::string const& rawText, PF_ParamDef& def) {
    const std::string text = trim(rawText);
    auto bad = [&](std::string const& accepted) {
        throw UsageError("bad value \"" + rawText + "\" for \"" + p.path + "\"; accepted: " + accepted);
    };
    switch (p.type) {
        case PF_Param_FLOAT_SLIDER:
        case PF_Param_SLIDER: {
            double v = 0.0;
            if (!parseNumber(text, v) || v < p.validMin || v > p.validMax) bad(rangeText(p));
            if (p.type == PF_Param_SLIDER) {
                if (v != std::floor(v)) bad("whole numbers " + rangeText(p));
                def.u.sd.value = static_cast<PF_ParamValue>(v);
            } else {
                def.u.fs_d.value = v;
            }
            return;
        }
        case PF_Param_ANGLE: {
            double v = 0.0;
            if (!parseNumber(text, v) || std::fabs(v) > 32767.0) bad("degrees from -32767 to 32767");
            def.u.ad.value = static_cast<PF_Fixed>(std::lround(v * kFixedOne));
            return;
        }
        case PF_Param_CHECKBOX: {
            const std::string t = lower(text);
            if (t == "on" || t == "true" || t == "yes" || t == "1")
                def.u.bd.value = 1;
            else if (t == "off" || t == "false" || t == "no" || t == "0")
                def.u.bd.value = 0;
            else
                bad("on, off");
            return;
        }
        case PF_Param_POPUP: {
            for (std::size_t i = 0; i < p.menuItems.size(); ++i)
                if (lower(p.menuItems[i]) == lower(text)) {
                    def.u.pd.value = static_cast<PF_ParamValue>(i + 1);
                    return;
                }
            bad(join(p.menuItems, ", "));
            return;
        }
        case PF_Param_COLOR: {
            unsigned r = 0, g = 0, b = 0;
            std::string t = text;
            if (!t.empty() && t[0] == '#') t = t.substr(1);
            char tail = 0;
            bool ok = false;
            if (t.size() == 6 && std::all_of(t.begin(), t.end(), [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
                ok = std::sscanf(t.c_str(), "%2x%2x%2x", &r, &g, &b) == 3;
            else
                ok = std::sscanf(text.c_str(), " %u , %u , %u %c", &r, &g, &b, &tail) == 3 && r < 256 &&
                     g < 256 && b < 256;
            if (!ok) bad("#rrggbb or r,g,b with each 0-255");
            def.u.cd.value.alpha = 255;
            def.u.cd.value.red = static_cast<A_u_char>(r);
            def.u.cd.value.green = static_cast<A_u_char>(g);
            def.u.cd.value.blue = static_cast<A_u_char>(b);
            return;
        }
        default:
            bad("nothing: this parameter has no value");
    }
}

}  // namespace raydrift::cli
