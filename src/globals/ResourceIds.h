// Identifiers of the plug-in's own resources, shared by the resource script and the dialogs.
#pragma once

// The plug-in's icon: one group with 64, 48, 32 and 16 pixel images.
#define IDI_HVQBLEND 100

// The about window's four pictures.
#define IDB_ABOUT_PICTURE1 201
#define IDB_ABOUT_PICTURE2 202
#define IDB_ABOUT_PICTURE3 203
#define IDB_ABOUT_PICTURE4 204
