BeforeAll {
    . "$PSScriptRoot/TestSupport.ps1"
}

Describe 'A successful install' {
    BeforeAll {
        $tree = New-VkTree
        $env:VK_FAKE_KEYGEN_ARGV = Join-Path $tree.Root 'keygen-argv.txt'
        $enrollment = New-Enrollment $tree @{ Machine = 'pc-01'; ServerPort = 2222 }
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source; At = '23:59'; Exclude = @('Users/Public', 'Temp dir') }
        $machineDir = Join-Path $tree.StateDir 'pc-01'
        $keyPath = Join-Path $machineDir 'id_ed25519'
    }
    AfterAll { Remove-VkTree $tree }

    It 'finishes without an error' {
        $result.Thrown | Should -BeNullOrEmpty
        $result.Errors | Should -BeNullOrEmpty
    }

    It 'takes its folders and tools from the system, none from where the environment points' {
        $tree.Steered | Should -Exist
        @(Get-ChildItem -LiteralPath $tree.Steered -Recurse -Name) | Should -Be @('Windows', 'Windows/System32', 'Windows/System32/OpenSSH',
            'Windows/System32/OpenSSH/ssh-keygen.exe', 'Windows/System32/OpenSSH/ssh.exe')
    }

    It 'generates an Ed25519 key with an explicitly empty passphrase' {
        Get-Content -LiteralPath $env:VK_FAKE_KEYGEN_ARGV | Should -Be @('[-q]', '[-t]', '[ed25519]', '[-N]', '[]', '[-f]', "[$keyPath]")
        (Get-Content -LiteralPath ($keyPath + '.pub') -Raw) | Should -Match '^ssh-ed25519 [A-Za-z0-9+/]{68}'
        $keyPath | Should -Exist
    }

    It 'takes both directories over, lets Users read the program, locks the key to SYSTEM and gives the rest to Administrators' {
        $expected = @(
            "takeown.exe /F $($tree.InstallDir) /A",
            "icacls.exe $($tree.InstallDir) /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F *S-1-5-32-545:(OI)(CI)RX",
            "icacls.exe $($tree.InstallDir) /setowner *S-1-5-32-544 /T /C",
            "takeown.exe /F $($tree.StateDir) /A",
            "icacls.exe $($tree.StateDir) /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F",
            "icacls.exe $($tree.StateDir) /setowner *S-1-5-32-544 /T /C",
            "icacls.exe $(Join-Path $tree.InstallDir 'vardokeep-agent.exe') /setowner *S-1-5-32-544",
            "icacls.exe $(Join-Path $tree.InstallDir 'Run-Backup.ps1') /setowner *S-1-5-32-544",
            "icacls.exe $(Join-Path $tree.InstallDir 'Uninstall-Vardokeep.ps1') /setowner *S-1-5-32-544",
            "icacls.exe $machineDir /setowner *S-1-5-32-544",
            "icacls.exe $keyPath /inheritance:r /grant:r *S-1-5-18:F *S-1-5-32-544:F",
            "icacls.exe $keyPath /remove *$($VkTest.InstallerSid)",
            "icacls.exe $keyPath /setowner *S-1-5-18",
            "icacls.exe $keyPath.pub /reset",
            "icacls.exe $keyPath.pub /setowner *S-1-5-32-544",
            "icacls.exe $(Join-Path $machineDir 'known_hosts') /setowner *S-1-5-32-544",
            "icacls.exe $(Join-Path $machineDir 'ssh.conf') /setowner *S-1-5-32-544",
            "icacls.exe $(Join-Path $machineDir 'job.json') /setowner *S-1-5-32-544")
        @($FakeWindows.Calls | Where-Object { $_ -match '^(icacls|takeown)\.exe ' }) | Should -Be $expected
        $program = $FakeWindows.Acl[$tree.InstallDir]
        @($program.Entries | ForEach-Object { "$($_.Sid):$($_.Rights):$($_.Inherited)" }) | Should -Be @(
            'S-1-5-18:(OI)(CI)F:False', 'S-1-5-32-544:(OI)(CI)F:False', 'S-1-5-32-545:(OI)(CI)RX:False')
        $key = $FakeWindows.Acl[$keyPath]
        $key.Owner | Should -Be 'S-1-5-18'
        $key.Protected | Should -BeTrue
        @($key.Entries | ForEach-Object { "$($_.Sid):$($_.Rights):$($_.Inherited)" }) | Should -Be @('S-1-5-18:F:False', 'S-1-5-32-544:F:False')
        # The public key loses ssh-keygen's own DACL and inherits the machine directory's.
        $public = $FakeWindows.Acl[$keyPath + '.pub']
        $public.Protected | Should -BeFalse
        @($public.Entries | ForEach-Object { "$($_.Sid):$($_.Rights):$($_.Inherited)" }) | Should -Be @('S-1-5-18:F:True', 'S-1-5-32-544:F:True')
    }

    It 'copies the agent and the two companion scripts, and only those' {
        @(Get-ChildItem -LiteralPath $tree.InstallDir -Name | Sort-Object) | Should -Be @('Run-Backup.ps1', 'Uninstall-Vardokeep.ps1', 'vardokeep-agent.exe')
    }

    It 'writes known_hosts with the bracketed host and port for a port other than 22' {
        Get-FileBytesText (Join-Path $machineDir 'known_hosts') | Should -BeExactly ("[backup.example.net]:2222 $($VkTest.ValidHostKey)`n")
    }

    It 'writes ssh.conf with quoted forward-slash paths, without a byte-order mark' {
        # The temporary tree has blanks in its name, like "Program Files".
        $machineDir | Should -Match ' '
        $slashed = $machineDir.Replace('\', '/')
        $expected = "Host vardo-backup`n HostName backup.example.net`n Port 2222`n User vk_pc-01`n" +
            " IdentityFile `"$slashed/id_ed25519`"`n UserKnownHostsFile `"$slashed/known_hosts`"`n" +
            " StrictHostKeyChecking yes`n IdentitiesOnly yes`n BatchMode yes`n"
        Get-FileBytesText (Join-Path $machineDir 'ssh.conf') | Should -BeExactly $expected
        Test-Utf8Bom (Join-Path $machineDir 'ssh.conf') | Should -BeFalse
    }

    It 'writes job.json with a byte-order mark and the values the runner needs' {
        $path = Join-Path $machineDir 'job.json'
        Test-Utf8Bom $path | Should -BeTrue
        $job = [IO.File]::ReadAllText($path) | ConvertFrom-Json
        $job.Machine | Should -BeExactly 'pc-01'
        $job.Source | Should -BeExactly $tree.Source
        $job.SshConfig | Should -BeExactly (Join-Path $machineDir 'ssh.conf')
        $job.Destination | Should -BeExactly 'vardo-backup'
        $job.UseVss | Should -BeOfType [bool]
        $job.UseVss | Should -BeFalse
        $job.UseVssWriters | Should -BeFalse
        @($job.Excludes) | Should -Be @('Users/Public', 'Temp dir')
        @($job.PSObject.Properties.Name | Sort-Object) | Should -Be @('Destination', 'Excludes', 'Machine', 'Source', 'SshConfig', 'UseVss', 'UseVssWriters')
    }

    It 'registers the daily task as SYSTEM with its settings, then disables it' {
        $FakeWindows.Calls | Where-Object { $_ -like '*-ScheduledTask *' } | Should -Be @('Register-ScheduledTask Vardokeep-pc-01', 'Disable-ScheduledTask Vardokeep-pc-01')
        $task = $FakeWindows.Tasks['Vardokeep-pc-01']
        $task.State | Should -Be 'Disabled'
        $task.Action.Execute | Should -BeExactly (Join-Path $tree.System32 'WindowsPowerShell/v1.0/powershell.exe')
        $task.Action.Arguments | Should -BeExactly ('-NoProfile -NonInteractive -ExecutionPolicy Bypass -File "' + (Join-Path $tree.InstallDir 'Run-Backup.ps1') + '" -Machine "pc-01"')
        $task.Trigger.Daily | Should -BeTrue
        $task.Trigger.DaysInterval | Should -Be 1
        $task.Trigger.At.ToString('HH:mm') | Should -Be '23:59'
        $task.Principal.UserId | Should -BeExactly 'SYSTEM'
        $task.Principal.LogonType | Should -BeExactly 'ServiceAccount'
        $task.Principal.RunLevel | Should -BeExactly 'Highest'
        $task.Settings.MultipleInstances | Should -BeExactly 'IgnoreNew'
        $task.Settings.StartWhenAvailable | Should -BeTrue
        $task.Settings.RestartCount | Should -Be 3
        $task.Settings.RestartInterval | Should -Be ([timespan]::FromMinutes(5))
        $task.Settings.ExecutionTimeLimit | Should -Be ([timespan]::FromHours(12))
        $task.Settings.StopIfGoingOnBatteries | Should -BeFalse
        $task.Settings.DisallowStartIfOnBatteries | Should -BeTrue
        $task.Settings.AllowHardTerminate | Should -BeTrue
    }

    It 'prints the public key and the next steps, five lines' {
        $publicKey = (Get-Content -LiteralPath ($keyPath + '.pub') -Raw).TrimEnd()
        $result.Text | Should -Be @(
            'Paste this public key into the Vardokeep Windows enrollment form:',
            $publicKey,
            'After registering the key: Enable-ScheduledTask -TaskName "Vardokeep-pc-01"',
            'First test: Start-ScheduledTask -TaskName "Vardokeep-pc-01"',
            "Local logs: $machineDir")
    }
}

Describe 'Install details' {
    BeforeEach { $tree = New-VkTree }
    AfterEach { Remove-VkTree $tree }

    It 'writes the plain host name into known_hosts for port 22' {
        $enrollment = New-Enrollment $tree @{ ServerPort = 22; ServerHost = '192.0.2.10' }
        (Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }).Thrown | Should -BeNullOrEmpty
        Get-FileBytesText (Join-Path $tree.StateDir 'pc-01/known_hosts') | Should -BeExactly ("192.0.2.10 $($VkTest.ValidHostKey)`n")
    }

    It 'records -UseVss and the default time 02:00' {
        $enrollment = New-Enrollment $tree
        (Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source; UseVss = $true }).Thrown | Should -BeNullOrEmpty
        $job = [IO.File]::ReadAllText((Join-Path $tree.StateDir 'pc-01/job.json')) | ConvertFrom-Json
        $job.UseVss | Should -BeTrue
        $job.UseVssWriters | Should -BeFalse
        @($job.Excludes).Count | Should -Be 0
        $FakeWindows.Tasks['Vardokeep-pc-01'].Trigger.At.ToString('HH:mm') | Should -Be '02:00'
    }

    It 'resolves a relative source to the full path written into job.json' {
        $enrollment = New-Enrollment $tree
        Push-Location $tree.Root
        try {
            (Invoke-Install $tree @{ EnrollmentFile = 'enrollment.json'; Source = './source data'; UseVssWriters = $true }).Thrown | Should -BeNullOrEmpty
        } finally { Pop-Location }
        $job = [IO.File]::ReadAllText((Join-Path $tree.StateDir 'pc-01/job.json')) | ConvertFrom-Json
        $job.Source | Should -BeExactly $tree.Source
        $job.UseVssWriters | Should -BeTrue
    }

    It 'refuses a second install of the same machine and leaves the first one as it was' {
        $enrollment = New-Enrollment $tree
        (Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }).Thrown | Should -BeNullOrEmpty
        $jobPath = Join-Path $tree.StateDir 'pc-01/job.json'
        $before = [IO.File]::ReadAllBytes($jobPath)
        $keyBefore = [IO.File]::ReadAllBytes((Join-Path $tree.StateDir 'pc-01/id_ed25519'))
        $FakeWindows.Calls.Clear()

        $second = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source; At = '04:00' }

        $second.Thrown | Should -BeExactly 'Machine already installed. Review the existing configuration before replacing it.'
        [IO.File]::ReadAllBytes($jobPath) | Should -Be $before
        [IO.File]::ReadAllBytes((Join-Path $tree.StateDir 'pc-01/id_ed25519')) | Should -Be $keyBefore
        $FakeWindows.Calls | Where-Object { $_ -like '*ScheduledTask*' } | Should -BeNullOrEmpty
        $FakeWindows.Tasks['Vardokeep-pc-01'].Trigger.At.ToString('HH:mm') | Should -Be '02:00'
    }

    It 'fails with the Task Scheduler''s error when the task already exists' {
        $FakeWindows.Tasks['Vardokeep-pc-01'] = [pscustomobject]@{ TaskName = 'Vardokeep-pc-01'; State = 'Ready' }
        $enrollment = New-Enrollment $tree
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $result.Thrown | Should -BeExactly 'Cannot create a file when that file already exists.'
        $FakeWindows.Tasks['Vardokeep-pc-01'].State | Should -Be 'Ready'
    }
}
