#Requires -RunAsAdministrator
# Takes one machine out of service on this computer: its backup task and its
# entry under installed applications go; configuration, key and logs stay.
param(
    [Parameter(Mandatory = $true)][ValidatePattern('^[A-Za-z0-9][A-Za-z0-9_.-]{0,47}\z')][string]$Machine
)

$ErrorActionPreference = 'Stop'

$taskName = 'Vardokeep-' + $Machine

# A running backup is asked to stop first; a task that is not running, or not
# there, is not an error here.
try { Stop-ScheduledTask -TaskName $taskName } catch { }

# The only step that can fail the script; the uninstall entry goes only after it.
Unregister-ScheduledTask -TaskName $taskName -Confirm:$false

try {
    Remove-Item -LiteralPath ('HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Vardokeep-' + $Machine) -Recurse -Force
} catch { }

Write-Host 'Task removed. Configuration, SSH key and logs were preserved in ProgramData\Vardokeep.'
Write-Host 'Disable or remove this machine in the Vardokeep panel to revoke backup reception.'
