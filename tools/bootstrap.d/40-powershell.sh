#!/usr/bin/env bash
# PowerShell 7 (a .NET global tool) and Pester, to run the script tests on Linux.
# Both pinned: an unpinned PowerShell tool resolves to a version that fails here.
set -euo pipefail
top=$1
pwsh_version=7.6.10
pester_version=5.7.1
export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1 DOTNET_SKIP_FIRST_TIME_EXPERIENCE=1
tools="$HOME/.dotnet/tools"
if ! command -v dotnet >/dev/null; then
  echo "40-powershell.sh: the .NET SDK (dotnet) is needed to install PowerShell" >&2
  exit 1
fi

if [ ! -x "$tools/pwsh" ] || [ ! -d "$tools/.store/powershell/$pwsh_version" ]; then
  if dotnet tool list --global | grep -qi '^powershell '; then
    dotnet tool update --global PowerShell --version "$pwsh_version" >/dev/null
  else
    dotnet tool install --global PowerShell --version "$pwsh_version" >/dev/null
  fi
fi

# Pester goes where pwsh looks for a user's modules, unpacked from its NuGet
# package, which a throwaway project under build/ downloads.
modules="$HOME/.local/share/powershell/Modules"
if [ ! -f "$modules/Pester/$pester_version/Pester.psd1" ]; then
  work="$top/build/bootstrap/pester"
  mkdir -p "$work"
  cat > "$work/pester-download.csproj" <<PROJECT
<Project Sdk="Microsoft.NET.Sdk">
  <PropertyGroup>
    <TargetFramework>net$(dotnet --version | cut -d. -f1).0</TargetFramework>
  </PropertyGroup>
  <ItemGroup>
    <PackageDownload Include="Pester" Version="[$pester_version]" />
  </ItemGroup>
</Project>
PROJECT
  dotnet restore "$work/pester-download.csproj" --packages "$work/packages" >/dev/null
  mkdir -p "$modules/Pester"
  rm -rf "$modules/Pester/$pester_version.partial"
  cp -r "$work/packages/pester/$pester_version/tools" "$modules/Pester/$pester_version.partial"
  mv "$modules/Pester/$pester_version.partial" "$modules/Pester/$pester_version"
fi
