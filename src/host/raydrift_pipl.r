/* Plug-in property list of the Raydrift effect, compiled by the hosts' resource tools
   (PiPLTool on Windows, Rez on macOS). The version and flag words must equal what
   global set-up returns (src/host/plugin_info.h, the version from the project version
   in CMakeLists.txt); a test compares them. */

#include "AEConfig.h"
#include "AE_EffectVers.h"

#ifndef AE_OS_WIN
	#include "AE_General.r"
#endif

resource 'PiPL' (16000) {
	{	/* array properties: 13 elements */
		/* [1] */
		Kind {
			AEEffect
		},
		/* [2] */
		Name {
			"Raydrift"
		},
		/* [3] */
		Category {
			"Tessaly Plugins"
		},
#ifdef AE_OS_WIN
	#ifdef AE_PROC_INTELx64
		CodeWin64X86 {"EffectMain"},
	#endif
#else
	#ifdef AE_OS_MAC
		CodeMacIntel64 {"EffectMain"},
		CodeMacARM64 {"EffectMain"},
	#endif
#endif
		/* [5] */
		AE_PiPL_Version {
			2,
			0
		},
		/* [6] */
		AE_Effect_Spec_Version {
			13,
			29
		},
		/* [7] */
		AE_Effect_Version {
			525825	/* 1.0.0 release, build 1 */
		},
		/* [8] */
		AE_Effect_Info_Flags {
			0
		},
		/* [9] */
		AE_Effect_Global_OutFlags {
			0x02008004	/* NON_PARAM_VARY | CUSTOM_UI | DEEP_COLOR_AWARE */
		},
		/* [10] */
		AE_Effect_Global_OutFlags_2 {
			0x0B001409	/* QUERY_DYNAMIC_FLAGS | GROUP_START_COLLAPSED | SMART_RENDER |
			               FLOAT_COLOR_AWARE | CUSTOM_UI_ASYNC_MANAGER | GPU_RENDER_F32 |
			               THREADED_RENDERING */
		},
		/* [11] */
		AE_Effect_Match_Name {
			"TESSALY Raydrift"
		},
		/* [12] */
		AE_Reserved_Info {
			0
		},
		/* [13] */
		AE_Effect_Support_URL {
			"https://www.tessaly.com/raydrift/support"
		}
	}
};
