BeforeAll {
    . "$PSScriptRoot/TestSupport.ps1"
    $busyMessage = 'A backup for this machine is already running.'

    # Another PowerShell process, the way this one was started: a .NET global
    # tool runs as the dotnet host with pwsh.dll as its first argument.
    function Start-ChildPwsh([string[]]$Arguments) {
        $host_ = [Environment]::ProcessPath
        $all = @('-NoProfile', '-NonInteractive') + $Arguments
        if ([IO.Path]::GetFileNameWithoutExtension($host_) -eq 'dotnet') { $all = @([Environment]::GetCommandLineArgs()[0]) + $all }
        $line = ($all | ForEach-Object { '"' + $_.Replace('"', '\"') + '"' }) -join ' '
        return Start-Process -FilePath $host_ -ArgumentList $line -PassThru
    }

    function Wait-ForFile([string]$Path) {
        $deadline = [DateTime]::UtcNow.AddSeconds(60)
        while (-not (Test-Path -LiteralPath $Path)) {
            if ([DateTime]::UtcNow -gt $deadline) { throw "timed out waiting for $Path" }
            Start-Sleep -Milliseconds 100
        }
    }

    function New-OldLogs([string]$MachineDir, [int]$Count) {
        for ($i = 1; $i -le $Count; $i++) {
            foreach ($extension in @('.log', '.out')) {
                $path = Join-Path $MachineDir ('backup-2024010{0}-0000{1:00}{2}' -f ($i % 9 + 1), $i, $extension)
                [IO.File]::WriteAllText($path, "old $i")
                [IO.File]::SetLastWriteTimeUtc($path, [DateTime]::UtcNow.AddDays(-100 + $i))
            }
        }
    }
}

Describe 'One run per machine' {
    BeforeEach {
        $tree = New-VkTree
        $machine = New-UniqueMachineName 'once'
        $machineDir = New-InstalledMachine $tree $machine
    }
    AfterEach { Remove-VkTree $tree }

    It 'fails a second run at once with its own error log and deletes no log' {
        New-OldLogs $machineDir 20
        $env:VK_FAKE_AGENT_STARTED = Join-Path $tree.Root 'agent-started'
        $env:VK_FAKE_AGENT_RELEASE = Join-Path $tree.Root 'agent-release'
        $runner = Join-Path $tree.InstallDir 'Run-Backup.ps1'
        $first = Start-ChildPwsh @('-Command', ". '$($tree.SystemFoldersPrelude)'; & '$runner' -Machine '$machine'; exit `$LASTEXITCODE")
        try {
            Wait-ForFile $env:VK_FAKE_AGENT_STARTED
            $logsDuringFirst = @(Get-ChildItem -LiteralPath $machineDir -Name | Sort-Object)

            # Returning while the first run's agent still waits for its release is
            # the proof that the second run did not wait for the mutex.
            $second = Invoke-Runner $tree $machine

            $second.ExitCode | Should -Be 1
            $second.Errors | Should -Be @($busyMessage)
            $after = @(Get-ChildItem -LiteralPath $machineDir -Name | Sort-Object)
            $added = @($after | Where-Object { $logsDuringFirst -notcontains $_ })
            $added.Count | Should -Be 1
            $added[0] | Should -Match '^backup-\d{8}-\d{6}(-\d+)?\.log$'
            @(Get-Content -LiteralPath (Join-Path $machineDir $added[0])) | Should -Be @("runner_error: $busyMessage")
            @($logsDuringFirst | Where-Object { $after -notcontains $_ }) | Should -BeNullOrEmpty
        } finally {
            [IO.File]::WriteAllText($env:VK_FAKE_AGENT_RELEASE, '')
            $first.WaitForExit(60000) | Should -BeTrue
        }
        $first.ExitCode | Should -Be 0
        # The first run applies the retention when it ends.
        (Get-RunLogs $machineDir '.log').Count | Should -Be 14
        (Get-RunLogs $machineDir '.out').Count | Should -Be 14
    }

    It 'gives the busy message in its own log when the mutex of a run under another account cannot be opened' {
        # New-Object wraps what the constructor throws.
        Mock New-Object -ParameterFilter { $TypeName -eq 'System.Threading.Mutex' } -MockWith {
            $denied = New-Object UnauthorizedAccessException ("Access to the path '" + $ArgumentList[1] + "' is denied.")
            throw (New-Object System.Management.Automation.MethodInvocationException ('Exception calling ".ctor" with "2" argument(s): "' + $denied.Message + '"'), $denied)
        }
        New-OldLogs $machineDir 20
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 1
        $result.Errors | Should -Be @($busyMessage)
        $logs = Get-RunLogs $machineDir '.log'
        $logs.Count | Should -Be 21
        @(Get-Content -LiteralPath ($logs | Where-Object Name -notlike 'backup-2024*').FullName) | Should -Be @("runner_error: $busyMessage")
    }

    It 'takes the mutex over from a run that ended without releasing it' {
        $holder = Start-ChildPwsh @('-Command', "`$m = New-Object System.Threading.Mutex(`$false, 'Global\Vardokeep-$machine'); `$null = `$m.WaitOne(0); exit 0")
        $holder.WaitForExit(60000) | Should -BeTrue
        $env:VK_FAKE_AGENT_EXIT = '4'
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 4
        $result.Errors | Should -BeNullOrEmpty
    }
}

Describe 'A runner killed during a VSS backup' {
    BeforeEach {
        $tree = New-VkTree
        $machine = New-UniqueMachineName 'killed'
        $machineDir = New-InstalledMachine $tree $machine @{ Source = 'C:\Data'; UseVss = $true }
    }
    AfterEach { Remove-VkTree $tree }

    # What a stop of the task ends with, TerminateProcess: no finally of the
    # runner runs, so its shadow copy and marker stay.
    It 'leaves the marker naming its shadow copy, and the next run refuses' {
        $env:VK_FAKE_AGENT_STARTED = Join-Path $tree.Root 'agent-started'
        $env:VK_FAKE_AGENT_RELEASE = Join-Path $tree.Root 'agent-release'
        $runner = Join-Path $tree.InstallDir 'Run-Backup.ps1'
        $first = Start-ChildPwsh @('-Command', ". '$PSScriptRoot/TestSupport.ps1'; Reset-FakeWindows; . '$($tree.SystemFoldersPrelude)'; & '$runner' -Machine '$machine'; exit `$LASTEXITCODE")
        try {
            Wait-ForFile $env:VK_FAKE_AGENT_STARTED
            $first.Kill()
            $first.WaitForExit(60000) | Should -BeTrue

            $next = Invoke-Runner $tree $machine
            $next.ExitCode | Should -Be 1
            $next.Errors | Should -Be @('An earlier own VSS snapshot needs cleanup; inspect active-shadow.json before retrying.')
            $FakeWindows.Calls | Should -BeNullOrEmpty
            $marker = [IO.File]::ReadAllText((Join-Path $machineDir 'active-shadow.json')) | ConvertFrom-Json
            $marker.ID | Should -BeExactly '{6f1f2b5e-0000-4000-8000-000000000007}'
            $marker.DeviceObject | Should -BeExactly '\\?\GLOBALROOT\Device\HarddiskVolumeShadowCopy7'
        } finally {
            [IO.File]::WriteAllText($env:VK_FAKE_AGENT_RELEASE, '')
        }
    }
}

Describe 'Log names of runs started in the same second' {
    BeforeEach {
        $tree = New-VkTree
        $machine = New-UniqueMachineName 'stamp'
        $machineDir = New-InstalledMachine $tree $machine
        Mock Get-Date -ParameterFilter { $Format -eq 'yyyyMMdd-HHmmss' } -MockWith { '20250102-030405' }
    }
    AfterEach { Remove-VkTree $tree }

    It 'takes the next free suffix and leaves the other run''s files alone' {
        [IO.File]::WriteAllText((Join-Path $machineDir 'backup-20250102-030405.log'), 'other run')
        [IO.File]::WriteAllText((Join-Path $machineDir 'backup-20250102-030405-2.out'), 'other output')
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 0
        Get-FileBytesText (Join-Path $machineDir 'backup-20250102-030405.log') | Should -BeExactly 'other run'
        Get-FileBytesText (Join-Path $machineDir 'backup-20250102-030405-2.out') | Should -BeExactly 'other output'
        Join-Path $machineDir 'backup-20250102-030405-2.log' | Should -Not -Exist
        @(Get-Content -LiteralPath (Join-Path $machineDir 'backup-20250102-030405-3.log')) | Should -Be @('agent diagnostics')
        @(Get-Content -LiteralPath (Join-Path $machineDir 'backup-20250102-030405-3.out')) | Should -Be @('agent output')
    }

    It 'gives a runner error its own log too' {
        [IO.File]::WriteAllText((Join-Path $machineDir 'backup-20250102-030405.log'), 'other run')
        Remove-Item -LiteralPath (Join-Path $machineDir 'job.json')
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 1
        Get-FileBytesText (Join-Path $machineDir 'backup-20250102-030405.log') | Should -BeExactly 'other run'
        @(Get-Content -LiteralPath (Join-Path $machineDir 'backup-20250102-030405-2.log')) | Should -BeLike 'runner_error: *job.json*'
    }
}

Describe 'Retention' {
    BeforeEach {
        $tree = New-VkTree
        $machine = New-UniqueMachineName 'keep'
        $machineDir = New-InstalledMachine $tree $machine
        New-OldLogs $machineDir 19
        foreach ($name in @('backup-old.logx', 'notes.log', 'backup-keep.txt')) {
            $path = Join-Path $machineDir $name
            [IO.File]::WriteAllText($path, 'not a run log')
            [IO.File]::SetLastWriteTimeUtc($path, [DateTime]::UtcNow.AddDays(-200))
        }
        $newestOld = @(Get-ChildItem -LiteralPath $machineDir -Filter 'backup-*.log' | Sort-Object LastWriteTime -Descending | Select-Object -First 13 | ForEach-Object Name)
    }
    AfterEach { Remove-VkTree $tree }

    It 'keeps the newest 14 files of each kind, this run''s included, after <Case>' -TestCases @(
        @{ Case = 'a backup'; Job = @{} }
        @{ Case = 'a runner error'; Job = @{ UseVss = $true; UseVssWriters = $true } }
    ) {
        $null = New-InstalledMachine $tree $machine $Job
        $null = Invoke-Runner $tree $machine
        $logs = @(Get-ChildItem -LiteralPath $machineDir -Filter 'backup-*.log' | ForEach-Object Name)
        $logs.Count | Should -Be 14
        foreach ($name in $newestOld) { $logs | Should -Contain $name }
        @($logs | Where-Object { $_ -notlike 'backup-2024*' }).Count | Should -Be 1
        (Get-RunLogs $machineDir '.out').Count | Should -Be 14
        foreach ($name in @('backup-old.logx', 'notes.log', 'backup-keep.txt')) {
            Join-Path $machineDir $name | Should -Exist
        }
    }
}
