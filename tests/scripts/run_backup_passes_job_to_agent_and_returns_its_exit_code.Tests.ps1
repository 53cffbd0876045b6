BeforeAll {
    . "$PSScriptRoot/TestSupport.ps1"
}

Describe 'Run-Backup.ps1 without shadow copies' {
    BeforeEach {
        $tree = New-VkTree
        $env:VK_FAKE_AGENT_ARGV = Join-Path $tree.Root 'agent-argv.txt'
        $machine = New-UniqueMachineName 'run'
    }
    AfterEach { Remove-VkTree $tree }

    It 'runs the agent on job.json and keeps its two streams in one pair of stamped files' {
        $machineDir = New-InstalledMachine $tree $machine @{ Excludes = @('ProgramData/Vardokeep', 'dir with blanks') }
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 0
        $result.Errors | Should -BeNullOrEmpty
        Get-AgentArguments | Should -Be @('backup', '--source', $tree.Source, '--ssh-config', (Join-Path $machineDir 'ssh.conf'),
            '--destination', 'vardo-backup', '--exclude', 'ProgramData/Vardokeep', '--exclude', 'dir with blanks')
        $logs = Get-RunLogs $machineDir '.log'
        $outputs = Get-RunLogs $machineDir '.out'
        $logs.Count | Should -Be 1
        $outputs.Count | Should -Be 1
        $logs[0].Name | Should -Match '^backup-\d{8}-\d{6}\.log$'
        $outputs[0].Name | Should -Be ($logs[0].BaseName + '.out')
        (Get-Content -LiteralPath $logs[0].FullName) | Should -Be @('agent diagnostics')
        (Get-Content -LiteralPath $outputs[0].FullName) | Should -Be @('agent output')
    }

    # PowerShell 7 off Windows copies a redirected stream into its file on
    # another thread (Start-Process, Process.cs), and a bounded WaitForExit
    # returns before that copy ends.
    It 'ends only when the agent''s streams have reached their files' {
        $machineDir = New-InstalledMachine $tree $machine
        $env:VK_FAKE_AGENT_LATE = '1'
        (Invoke-Runner $tree $machine).ExitCode | Should -Be 0
        (Get-Content -LiteralPath (Get-RunLogs $machineDir '.out')[0].FullName) | Should -Be @('agent output', 'late agent output')
    }

    It 'adds --vss-writers before the exclusions and ends with the agent''s failing exit code' {
        $machineDir = New-InstalledMachine $tree $machine @{ UseVssWriters = $true; Excludes = @('Temp') }
        $env:VK_FAKE_AGENT_EXIT = '5'
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 5
        Get-AgentArguments | Should -Be @('backup', '--source', $tree.Source, '--ssh-config', (Join-Path $machineDir 'ssh.conf'),
            '--destination', 'vardo-backup', '--vss-writers', '--exclude', 'Temp')
        $FakeWindows.Calls | Should -BeNullOrEmpty
    }

    It 'logs <Case> as a runner error, starts no agent and exits with 1' -TestCases @(
        @{ Case = 'both VSS modes'; Job = @{ UseVss = $true; UseVssWriters = $true }; Prepare = {}
           Message = 'Conflicting VSS modes in job configuration.' }
        @{ Case = 'a missing job.json'; Job = @{}; Prepare = { param($dir) Remove-Item -LiteralPath (Join-Path $dir 'job.json') }
           Message = '*job.json*' }
        @{ Case = 'a missing agent'; Job = @{}; Prepare = { param($dir) Remove-Item -LiteralPath (Join-Path $tree.InstallDir 'vardokeep-agent.exe') }
           Message = '*vardokeep-agent.exe*' }
        # What another account can change: Explorer's "Continue" on the machine
        # folder in both readings, a foreign owner, and each object the runner
        # checks with one of the rights that allow a change. The marker and
        # UseVss of one case show that the check comes before both.
        @{ Case = 'Explorer''s grant on the machine folder only'; Job = @{}; Prepare = { param($dir) Add-ExplorerGrant $dir 'FolderOnly' }
           Message = 'Machine configuration can be changed by other accounts; run the installer again to repair it.' }
        @{ Case = 'Explorer''s grants on every object of the machine folder'; Job = @{}; Prepare = { param($dir) Add-ExplorerGrant $dir 'EveryObject' }
           Message = 'Machine configuration can be changed by other accounts; run the installer again to repair it.' }
        @{ Case = 'job.json owned by the administrator''s account'; Job = @{}; Prepare = { param($dir) (Get-FakeAcl (Join-Path $dir 'job.json')).Owner = $VkTest.InstallerSid }
           Message = 'Machine configuration can be changed by other accounts; run the installer again to repair it.' }
        @{ Case = 'add-subdirectory for Users on the state folder'; Job = @{ UseVss = $true }
           Prepare = { param($dir) [IO.File]::WriteAllText((Join-Path $dir 'active-shadow.json'), '{}'); Add-ExplicitEntry (Split-Path -Parent $dir) $VkTest.UsersSid '(AD)' }
           Message = 'Machine configuration can be changed by other accounts; run the installer again to repair it.' }
        @{ Case = 'write-data on ssh.conf'; Job = @{}; Prepare = { param($dir) Add-ExplicitEntry (Join-Path $dir 'ssh.conf') $VkTest.ForeignSid '(WD)' }
           Message = 'Machine configuration can be changed by other accounts; run the installer again to repair it.' }
        @{ Case = 'change-permissions on known_hosts'; Job = @{}; Prepare = { param($dir) Add-ExplicitEntry (Join-Path $dir 'known_hosts') $VkTest.ForeignSid '(WDAC)' }
           Message = 'Machine configuration can be changed by other accounts; run the installer again to repair it.' }
        @{ Case = 'delete-child for Users on the installation folder'; Job = @{}; Prepare = { param($dir) Add-ExplicitEntry $tree.InstallDir $VkTest.UsersSid '(DC)' }
           Message = 'Machine configuration can be changed by other accounts; run the installer again to repair it.' }
        @{ Case = 'GENERIC_ALL for Users on the agent'; Job = @{}; Prepare = { param($dir) Add-ExplicitEntry (Join-Path $tree.InstallDir 'vardokeep-agent.exe') $VkTest.UsersSid '(GA)' }
           Message = 'Machine configuration can be changed by other accounts; run the installer again to repair it.' }
    ) {
        $machineDir = New-InstalledMachine $tree $machine $Job
        & $Prepare $machineDir
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 1
        $result.Errors.Count | Should -Be 1
        $result.Errors[0] | Should -BeLike $Message
        $env:VK_FAKE_AGENT_ARGV | Should -Not -Exist
        $logs = Get-RunLogs $machineDir '.log'
        $logs.Count | Should -Be 1
        $lines = @(Get-Content -LiteralPath $logs[0].FullName)
        $lines | Should -Be @('runner_error: ' + $result.Errors[0])
        $FakeWindows.Calls | Should -BeNullOrEmpty
    }

    It 'runs the agent when other accounts may only read, are denied, or hold entries only for what is created below' {
        $machineDir = New-InstalledMachine $tree $machine
        Add-ExplicitEntry (Join-Path $machineDir 'job.json') $VkTest.UsersSid '(GR)'
        Add-ExplicitEntry $machineDir $VkTest.EveryoneSid '(OI)(CI)F' 'Deny'
        Add-ExplicitEntry $tree.InstallDir $VkTest.ForeignSid '(CI)(IO)F'
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 0
        $result.Errors | Should -BeNullOrEmpty
    }

    It 'reports a machine without a directory on the error stream only' {
        $null = New-InstalledMachine $tree 'other'
        $result = Invoke-Runner $tree $machine
        $result.ExitCode | Should -Be 1
        $result.Errors[0] | Should -BeLike '*job.json*'
        Join-Path $tree.StateDir $machine | Should -Not -Exist
    }

    It 'refuses <Case> as the machine name before running' -TestCases @(
        @{ Case = 'a leading dot'; BadName = '.pc' }
        @{ Case = 'a path'; BadName = '..\pc' }
        @{ Case = 'an empty name'; BadName = '' }
    ) {
        $null = New-InstalledMachine $tree 'pc'
        $result = Invoke-Runner $tree $BadName
        $result.Thrown | Should -BeLike "*'Machine'*"
        $env:VK_FAKE_AGENT_ARGV | Should -Not -Exist
    }
}
