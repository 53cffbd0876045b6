BeforeAll {
    . "$PSScriptRoot/TestSupport.ps1"

    function Invoke-SetupRun($Tree, [hashtable]$Parameters) {
        $Parameters = $Parameters.Clone()
        if (-not $Parameters.ContainsKey('Log')) { $Parameters.Log = Join-Path $Tree.Package 'installation.log' }
        $run = Invoke-VkScript (Join-Path $Tree.Package 'Setup-Run.ps1') $Parameters
        $logLines = @()
        if (Test-Path -LiteralPath $Parameters.Log) {
            $logLines = @((Get-FileBytesText $Parameters.Log) -split "`r?`n" | Where-Object { $_ -ne '' })
        }
        return [pscustomobject]@{ Run = $run; LogLines = $logLines; Log = $Parameters.Log }
    }

    $uninstallKey = 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Vardokeep-pc-01'
    $texts = @('README.md', 'LICENSE-xxhash', 'LICENSE-lz4', 'LICENSE-blake3-CC0', 'LICENSE-blake3-Apache', 'LICENSE-Vardokeep')
}

Describe 'Setup-Run after a successful install' {
    BeforeAll {
        $tree = New-VkTree
        Register-RegistryMocks
        $enrollment = New-Enrollment $tree
        $log = Join-Path $tree.Package 'installation.log'
        [IO.File]::WriteAllText($log, ('an earlier, longer log' * 100))
        $outcome = Invoke-SetupRun $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source; At = '02:00'; Log = $log }
        $machineDir = Join-Path $tree.StateDir 'pc-01'
    }
    AfterAll { Remove-VkTree $tree }

    It 'ends normally and replaces the log with the install''s closing lines' {
        $outcome.Run.Thrown | Should -BeNullOrEmpty
        $outcome.Run.ExitCode | Should -Be 0
        $outcome.LogLines | Should -Not -Contain ('an earlier, longer log' * 100)
        $publicKey = (Get-Content -LiteralPath (Join-Path $machineDir 'id_ed25519.pub') -Raw).TrimEnd()
        $publicKey.Length | Should -BeGreaterThan 160
        $outcome.LogLines | Should -Be @(
            'Paste this public key into the Vardokeep Windows enrollment form:',
            $publicKey,
            'After registering the key: Enable-ScheduledTask -TaskName "Vardokeep-pc-01"',
            'First test: Start-ScheduledTask -TaskName "Vardokeep-pc-01"',
            "Local logs: $machineDir")
    }

    It 'writes the log as UTF-8 without a byte-order mark' {
        Test-Utf8Bom $outcome.Log | Should -BeFalse
    }

    It 'passes the VSS switch on as off when it is absent' {
        $job = [IO.File]::ReadAllText((Join-Path $machineDir 'job.json')) | ConvertFrom-Json
        $job.UseVss | Should -BeFalse
    }

    It 'copies the guide and the licence texts into the installation directory' {
        foreach ($name in $texts) {
            Get-FileBytesText (Join-Path $tree.InstallDir $name) | Should -BeExactly "text of $name`n"
        }
        Join-Path $tree.InstallDir 'Setup-Run.ps1' | Should -Not -Exist
        Join-Path $tree.InstallDir 'Install-Vardokeep.ps1' | Should -Not -Exist
    }

    It 'creates the uninstall entry with its values' {
        $FakeWindows.Calls | Should -Contain "New-Item $uninstallKey Force=True"
        $entry = $FakeWindows.Registry[$uninstallKey]
        $powerShellExe = Join-Path $tree.System32 'WindowsPowerShell/v1.0/powershell.exe'
        $uninstallScript = Join-Path $tree.InstallDir 'Uninstall-Vardokeep.ps1'
        $expected = [ordered]@{
            DisplayName = 'String:Vardokeep Agent - pc-01'
            DisplayVersion = 'String:0.1.0'
            Publisher = 'String:Vardo'
            InstallLocation = "String:$($tree.InstallDir)"
            UninstallString = "String:$($entry['UninstallString'].Value)"
            NoModify = 'DWord:1'
            NoRepair = 'DWord:1'
        }
        @($entry.Keys | Sort-Object) | Should -Be @($expected.Keys | Sort-Object)
        foreach ($name in $expected.Keys) {
            "$($entry[$name].Type):$($entry[$name].Value)" | Should -BeExactly $expected[$name]
        }
    }

    It 'registers an uninstall command that asks for elevation once, then runs the uninstall script' {
        # The list starts the command unelevated; the decoded command must be one
        # Start-Process -Verb RunAs of constants alone, and is run here with the
        # prompt mocked.
        $powerShellExe = Join-Path $tree.System32 'WindowsPowerShell/v1.0/powershell.exe'
        $uninstallScript = Join-Path $tree.InstallDir 'Uninstall-Vardokeep.ps1'
        $line = $FakeWindows.Registry[$uninstallKey]['UninstallString'].Value
        $prefix = "`"$powerShellExe`" -NoProfile -EncodedCommand "
        $line.StartsWith($prefix, [StringComparison]::Ordinal) | Should -BeTrue
        $command = [Text.Encoding]::Unicode.GetString([Convert]::FromBase64String($line.Substring($prefix.Length)))
        $errors = $null
        $ast = [System.Management.Automation.Language.Parser]::ParseInput($command, [ref]$null, [ref]$errors)
        $errors | Should -BeNullOrEmpty
        $commands = @($ast.FindAll({ param($n) $n -is [System.Management.Automation.Language.CommandAst] }, $true))
        $commands.Count | Should -Be 1
        $commands[0].GetCommandName() | Should -BeExactly 'Start-Process'
        foreach ($element in $commands[0].CommandElements) {
            $element.GetType().Name | Should -BeIn @('StringConstantExpressionAst', 'CommandParameterAst')
        }
        $global:VkElevation = $null
        Mock Start-Process { $global:VkElevation = [pscustomobject]@{ FilePath = $FilePath; Verb = $Verb; ArgumentList = $ArgumentList } }
        & ([scriptblock]::Create($command))
        $global:VkElevation.FilePath | Should -BeExactly $powerShellExe
        $global:VkElevation.Verb | Should -BeExactly 'RunAs'
        @($global:VkElevation.ArgumentList) | Should -Be @("`"-NoProfile`" `"-ExecutionPolicy`" `"Bypass`" `"-File`" `"$uninstallScript`" `"-Machine`" `"pc-01`"")
    }
}

Describe 'Setup-Run when something fails' {
    BeforeEach {
        $tree = New-VkTree
        Register-RegistryMocks
        $enrollment = New-Enrollment $tree
    }
    AfterEach { Remove-VkTree $tree }

    It 'logs the install''s message alone, copies nothing, registers nothing and exits with 1' {
        $bad = New-Enrollment $tree @{ ServerPort = 65536 } -Name 'bad.json'
        $outcome = Invoke-SetupRun $tree @{ EnrollmentFile = $bad; Source = $tree.Source; At = '02:00' }
        $outcome.Run.ExitCode | Should -Be 1
        $outcome.LogLines | Should -Be @('Invalid enrollment file.')
        Join-Path $tree.InstallDir 'README.md' | Should -Not -Exist
        $FakeWindows.Registry.Count | Should -Be 0
    }

    It 'logs PowerShell''s refusal of a bad time' {
        $outcome = Invoke-SetupRun $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source; At = ' 2:00' }
        $outcome.Run.ExitCode | Should -Be 1
        $outcome.LogLines.Count | Should -Be 1
        $outcome.LogLines[0] | Should -BeLike "*'At'*"
        $tree.StateDir | Should -Not -Exist
    }

    It 'leaves the first install''s entry alone when the machine is installed again' {
        (Invoke-SetupRun $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source; At = '02:00' }).Run.ExitCode | Should -Be 0
        $FakeWindows.Calls.Clear()
        $second = Invoke-SetupRun $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source; At = '03:00'; UseVss = $true }
        $second.Run.ExitCode | Should -Be 1
        $second.LogLines[-1] | Should -BeExactly 'Machine already installed. Review the existing configuration before replacing it.'
        $FakeWindows.Calls | Where-Object { $_ -like 'New-Item*' -or $_ -like 'New-ItemProperty*' } | Should -BeNullOrEmpty
        $FakeWindows.Registry[$uninstallKey]['DisplayName'].Value | Should -Be 'Vardokeep Agent - pc-01'
    }

    It 'passes -UseVss on and fails when the registry cannot be written, keeping the install' {
        $FakeWindows.RegistryFails = $true
        $outcome = Invoke-SetupRun $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source; At = '02:00'; UseVss = $true }
        $outcome.Run.ExitCode | Should -Be 1
        $outcome.LogLines[-1] | Should -BeExactly 'Requested registry access is not allowed.'
        $outcome.LogLines[0] | Should -BeExactly 'Paste this public key into the Vardokeep Windows enrollment form:'
        ([IO.File]::ReadAllText((Join-Path $tree.StateDir 'pc-01/job.json')) | ConvertFrom-Json).UseVss | Should -BeTrue
        Join-Path $tree.InstallDir 'LICENSE-Vardokeep' | Should -Exist
    }

    It 'ends with PowerShell''s own error when the log cannot be written' {
        $outcome = Invoke-SetupRun $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source; At = '02:00'; Log = (Join-Path $tree.Root 'no such dir/installation.log') }
        $outcome.Run.Thrown | Should -Not -BeNullOrEmpty
    }
}
