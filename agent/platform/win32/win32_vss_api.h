// The free functions that the VSS requester adapter calls, reached through one
// table like the rest of the adapter (win32_api), so tests can count calls and
// inject failures. Interface methods are vtable calls and are forwarded directly.
#pragma once
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <vss.h>
#include <vswriter.h>
#include <vsbackup.h>

struct Win32VssApi {
  decltype(&::GetVolumePathNameW) GetVolumePathNameW;
  decltype(&::GetVolumeNameForVolumeMountPointW) GetVolumeNameForVolumeMountPointW;
  decltype(&::CoInitializeEx) CoInitializeEx;
  decltype(&::CoInitializeSecurity) CoInitializeSecurity;
  decltype(&::CoUninitialize) CoUninitialize;
  decltype(&::CreateVssBackupComponentsInternal) CreateVssBackupComponentsInternal;
  decltype(&::VssFreeSnapshotPropertiesInternal) VssFreeSnapshotPropertiesInternal;
  decltype(&::SysFreeString) SysFreeString;
};

extern Win32VssApi win32_vss_api;
