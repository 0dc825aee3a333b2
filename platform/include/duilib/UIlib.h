// The window library: skinned windows built from XML layouts.
#pragma once
#include <duilib/dui_base.h>
#include <duilib/dui_string.h>
#include <duilib/dui_delegate.h>
#include <duilib/dui_control.h>
#include <duilib/dui_controls.h>
#include <duilib/dui_container.h>
#include <duilib/dui_richedit.h>
#include <duilib/dui_manager.h>
#include <duilib/dui_builder.h>
#include <duilib/dui_window.h>
