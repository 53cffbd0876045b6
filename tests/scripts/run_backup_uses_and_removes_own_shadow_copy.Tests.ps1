BeforeAll {
    . "$PSScriptRoot/TestSupport.ps1"
    $foreignShadowId = '{0b6c4a54-0000-4000-8000-000000000001}'
    $ownDevice = '\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopy7'
    $ownId = '{6f1f2b5e-0000-4000-8000-000000000007}'
    $markerMessage = 'An earlier own VSS snapshot needs cleanup; inspect active-shadow.json before retrying.'
}

Describe 'Run-Backup.ps1 with its own shadow copy' {
    BeforeEach {
        $tree = New-VkTree
        $env:VK_FAKE_AGENT_ARGV = Join-Path $tree.Root 'agent-argv.txt'
        $machine = New-UniqueMachineName 'vss'
        $machineDir = Join-Path $tree.StateDir $machine
        $marker = Join-Path $machineDir 'active-shadow.json'
        $env:VK_FAKE_AGENT_WATCH = $marker
    }
    AfterEach { Remove-VkTree $tree }

    # The shadow copy is of the volume that holds the source, named by its GUID
    # path: the one at the longest mount point that begins it (the volumes of
    # Reset-FakeWindows: C:, D:, one mounted at C:\Mounts\Data\).
    It 'reads <Source> through the shadow copy as <Expected>' -TestCases @(
        @{ Source = 'C:\Data'; Volume = '\\?\Volume{c0c0c0c0-0000-4000-8000-00000000000c}\'; Expected = '\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopy7\Data' }
        @{ Source = 'd:\'; Volume = '\\?\Volume{d0d0d0d0-0000-4000-8000-00000000000d}\'; Expected = '\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopy7\' }
        @{ Source = 'C:\Mounts\Data\Reports'; Volume = '\\?\Volume{da7ada7a-0000-4000-8000-00000000000e}\'; Expected = '\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopy7\Reports' }
        @{ Source = 'c:\MOUNTS\data'; Volume = '\\?\Volume{da7ada7a-0000-4000-8000-00000000000e}\'; Expected = '\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopy7\' }
        @{ Source = 'C:\Mounts\Database'; Volume = '\\?\Volume{c0c0c0c0-0000-4000-8000-00000000000c}\'; Expected = '\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopy7\Mounts\Database' }
    ) {
        $null = New-InstalledMachine $tree $machine @{ Source = $Source; UseVss = $true }
        $result = Invoke-Runner $tree $machine

        $result.ExitCode | Should -Be 0
        (Get-AgentArguments)[2] | Should -BeExactly $Expected
        $FakeWindows.Calls | Should -Be @(
            'Get-CimInstance Win32_Volume',
            "Invoke-CimMethod Win32_ShadowCopy.Create Volume=$Volume Context=ClientAccessible",
            'Get-CimInstance Win32_ShadowCopy',
            "Remove-CimInstance $ownId")
        @($FakeWindows.ShadowCopies | ForEach-Object ID) | Should -Be @($foreignShadowId)
    }

    It 'keeps the marker while the agent runs and removes it afterwards' {
        $null = New-InstalledMachine $tree $machine @{ Source = 'C:\Data'; UseVss = $true }
        $env:VK_FAKE_AGENT_EXIT = '3'
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 3
        $seen = $marker + '.seen'
        Test-Utf8Bom $seen | Should -BeFalse
        $json = [IO.File]::ReadAllText($seen) | ConvertFrom-Json
        $json.ID | Should -BeExactly $ownId
        $json.DeviceObject | Should -BeExactly $ownDevice
        @($json.PSObject.Properties.Name) | Should -Be @('ID', 'DeviceObject')
        $marker | Should -Not -Exist
        @($FakeWindows.ShadowCopies | ForEach-Object ID) | Should -Be @($foreignShadowId)
    }

    It 'stops an agent that outlasts its time limit, then removes its shadow copy and marker' {
        $null = New-InstalledMachine $tree $machine @{ Source = 'C:\Data'; UseVss = $true }
        $env:VK_FAKE_AGENT_RELEASE = Join-Path $tree.Root 'never released'
        # The runner's limit, through an alias as Get-SystemFolders is.
        function global:Get-VkShortAgentTimeLimit { return [timespan]::FromSeconds(2) }
        Set-Alias -Name Get-AgentTimeLimit -Value Get-VkShortAgentTimeLimit -Scope Global
        try {
            $result = Invoke-Runner $tree $machine
        } finally {
            Remove-Alias -Name Get-AgentTimeLimit -Scope Global -Force
        }
        $message = "Backup exceeded 11 h 30 min and was stopped before the task's time limit."
        $result.ExitCode | Should -Be 1
        $result.Errors | Should -Be @($message)
        # The fake agent writes its lines only once released: killed before.
        @(Get-Content -LiteralPath (Get-RunLogs $machineDir '.log')[0].FullName) | Should -Be @("runner_error: $message")
        (Get-RunLogs $machineDir '.out')[0].Length | Should -Be 0
        $marker | Should -Not -Exist
        @($FakeWindows.ShadowCopies | ForEach-Object ID) | Should -Be @($foreignShadowId)
    }

    It 'warns, keeps the marker and exits with 1 when its shadow copy cannot be deleted; the next run refuses' {
        $null = New-InstalledMachine $tree $machine @{ Source = 'C:\Data'; UseVss = $true }
        $FakeWindows.RemoveShadowFails = $true
        $result = Invoke-Runner $tree $machine

        $result.ExitCode | Should -Be 1
        $result.Warnings | Should -Be @('Own VSS snapshot cleanup failed; inspect active-shadow.json. No other snapshot was deleted.')
        $marker | Should -Exist
        $log = (Get-RunLogs $machineDir '.log')[0]
        @(Get-Content -LiteralPath $log.FullName) | Should -Be @('agent diagnostics', 'VSS cleanup failed: Access denied.')
        $FakeWindows.Calls | Where-Object { $_ -like 'Remove-CimInstance*' } | Should -Be @("Remove-CimInstance $ownId")

        Remove-Item -LiteralPath $env:VK_FAKE_AGENT_ARGV
        $FakeWindows.Calls.Clear()
        $next = Invoke-Runner $tree $machine
        $next.ExitCode | Should -Be 1
        $next.Errors | Should -Be @($markerMessage)
        $FakeWindows.Calls | Should -BeNullOrEmpty
        $env:VK_FAKE_AGENT_ARGV | Should -Not -Exist
        $marker | Should -Exist
        $newest = Get-ChildItem -LiteralPath $machineDir -Filter 'backup-*.log' | Where-Object Name -ne $log.Name
        @(Get-Content -LiteralPath $newest.FullName) | Should -Be @("runner_error: $markerMessage")
    }

    It 'refuses <Case> before creating a shadow copy' -TestCases @(
        @{ Case = 'a UNC source'; Job = @{ Source = '\\server\share\data'; UseVss = $true }; Message = 'VSS mode requires a local drive path.' }
        @{ Case = 'a relative source'; Job = @{ Source = 'Data'; UseVss = $true }; Message = 'VSS mode requires a local drive path.' }
        @{ Case = 'a drive without a backslash'; Job = @{ Source = 'C:Data'; UseVss = $true }; Message = 'VSS mode requires a local drive path.' }
        @{ Case = 'both VSS modes'; Job = @{ Source = 'C:\Data'; UseVss = $true; UseVssWriters = $true }; Message = 'Conflicting VSS modes in job configuration.' }
    ) {
        $null = New-InstalledMachine $tree $machine $Job
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 1
        $result.Errors | Should -Be @($Message)
        $FakeWindows.Calls | Should -BeNullOrEmpty
        $marker | Should -Not -Exist
    }

    It 'refuses to run while an earlier marker is there, and leaves it' {
        $null = New-InstalledMachine $tree $machine @{ Source = 'C:\Data'; UseVss = $true }
        [IO.File]::WriteAllText($marker, '{"ID":"{x}"}')
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 1
        $result.Errors | Should -Be @($markerMessage)
        $FakeWindows.Calls | Should -BeNullOrEmpty
        [IO.File]::ReadAllText($marker) | Should -BeExactly '{"ID":"{x}"}'
    }

    It 'fails with the return value when the shadow copy is refused' {
        $null = New-InstalledMachine $tree $machine @{ Source = 'C:\Data'; UseVss = $true }
        $FakeWindows.CreateReturnValue = 5
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 1
        $result.Errors | Should -Be @('VSS creation failed: 5')
        @(Get-Content -LiteralPath (Get-RunLogs $machineDir '.log')[0].FullName) | Should -Be @('runner_error: VSS creation failed: 5')
        $marker | Should -Not -Exist
        $env:VK_FAKE_AGENT_ARGV | Should -Not -Exist
    }

    It 'fails when the created shadow copy cannot be found, without writing a marker' {
        $null = New-InstalledMachine $tree $machine @{ Source = 'C:\Data'; UseVss = $true }
        $FakeWindows.HideCreatedShadow = $true
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 1
        $result.Errors | Should -Be @('Created shadow copy was not found.')
        $marker | Should -Not -Exist
        $FakeWindows.Calls | Where-Object { $_ -like 'Remove-CimInstance*' } | Should -BeNullOrEmpty
    }

    It 'deletes its shadow copy when the agent cannot be started' {
        $null = New-InstalledMachine $tree $machine @{ Source = 'C:\Data'; UseVss = $true }
        Remove-Item -LiteralPath (Join-Path $tree.InstallDir 'vardokeep-agent.exe')
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 1
        $marker | Should -Not -Exist
        @($FakeWindows.ShadowCopies | ForEach-Object ID) | Should -Be @($foreignShadowId)
    }
}
