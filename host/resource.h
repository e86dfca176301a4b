#pragma once
// Resource ids of the plug-in module.
#define IDS_MODULE_ID 100        // "LumSiftDbNotifyWex": the module id
#define IDR_PLUGINDBNOTIFY 102   // registry script of the COM class
