# Runs the script tests with Pester and fails unless every test ran and passed.
# -Tag wine selects the tests that need Wine; without it they are left out.
param(
    [string[]]$Tag = @(),
    [string[]]$ExcludeTag = @()
)

$ErrorActionPreference = 'Stop'
Import-Module Pester -MinimumVersion 5.7.1 -MaximumVersion 5.99.99

$configuration = New-PesterConfiguration
$configuration.Run.Path = $PSScriptRoot
$configuration.Run.PassThru = $true
# Only failures and the summary: a failure then stands at the top of what
# ctest prints, not hidden in the middle of 185 passing lines.
$configuration.Output.Verbosity = 'Normal'
$configuration.Output.RenderMode = 'Plaintext'
if ($Tag.Count -gt 0) { $configuration.Filter.Tag = $Tag }
if ($ExcludeTag.Count -gt 0) { $configuration.Filter.ExcludeTag = $ExcludeTag }

$result = Invoke-Pester -Configuration $configuration
$failed = $result.FailedCount + $result.FailedBlocksCount + $result.FailedContainersCount
if ($result.PassedCount -eq 0 -or $failed -gt 0) { exit 1 }
exit 0
