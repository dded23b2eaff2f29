// The effect's parameters as a user of the command line names them: by their display
// names, qualified by their groups where a name repeats, with values in the units the
// host's controls show (percent, degrees, menu item text, on/off, colours).
#pragma once

#include <string>
#include <vector>

#include "AE_Effect.h"

namespace raydrift::cli {

struct ParamInfo {
    int index = 0;
    std::string name;  // as declared
    std::string path;  // groups, a disambiguating checkbox where needed, then the name
    PF_ParamType type = PF_Param_NO_DATA;
    bool hidden = false;
    bool control = false;   // drawn by the plug-in (histogram, about panel): no value to set
    bool settable = false;  // a value the user can set (not a group, button or custom control)
    double validMin = 0.0, validMax = 0.0, defaultValue = 0.0;
    bool percent = false;
    int precision = 0;
    std::vector<std::string> menuItems;
    PF_Pixel defaultColour{};
};

// Describes the parameter list a host learned from the plug-in (defs[0] is the input
// layer). Names that repeat within one group (the Jitter "Speed" and "Amount" pairs) are
// qualified by the checkbox that precedes them: "Jitter/Length/Amount".
std::vector<ParamInfo> describeParams(std::vector<PF_ParamDef> const& defs);

// The settable parameter a name refers to: the plain name where it is unique, otherwise
// any unique trailing part of its path ("Streak/Length", "Jitter/Width/Speed"). Where a
// name matches at several depths the shallowest wins ("Length" is the streak's Length,
// "Amount" the chromatic one); a tie is ambiguous. Case does not matter. Throws
// UsageError naming what is accepted.
ParamInfo const& findParam(std::vector<ParamInfo> const& params, std::string const& name);

// Sets `def` from user text. Throws UsageError for a value out of range or not understood.
void applyValue(ParamInfo const& param, std::string const& text, PF_ParamDef& def);

// "Name=value" → (name, value); throws UsageError when there is no '='.
std::pair<std::string, std::string> splitAssignment(std::string const& text);

// Applies every "Name=value" to `defs` (indexed like `params`), in order. Throws
// UsageError at the first that names no parameter or gives a bad value.
void applyAssignments(std::vector<ParamInfo> const& params, std::vector<std::string> const& assignments,
                      std::vector<PF_ParamDef>& defs);

// The value `def` holds, as the user would type it.
std::string valueText(ParamInfo const& param, PF_ParamDef const& def);

// "Name=value" for every settable parameter whose value in `defs` differs from its
// default, joined by "; ".
std::string changedParameters(std::vector<ParamInfo> const& params, std::vector<PF_ParamDef> const& defs);

// " did you mean "X"?" naming the candidates closest to `wanted` by edit distance (case
// ignored), or "" when none is close enough to be a likely typo.
std::string didYouMean(std::string const& wanted, std::vector<std::string> const& candidates);

// The default as the user would type it, and the accepted range or items.
std::string defaultText(ParamInfo const& param);
std::string rangeText(ParamInfo const& param);
std::string typeName(PF_ParamType type);

}  // namespace raydrift::cli
