BeforeAll {
    . "$PSScriptRoot/TestSupport.ps1"
}

# Each case sets up its own failure together with a failure of a later step, so
# the message proves which check comes first, and then looks at what was left.
Describe 'Install failures, each before the next step' {
    BeforeEach {
        $tree = New-VkTree
        $enrollment = New-Enrollment $tree
        $machineDir = Join-Path $tree.StateDir 'pc-01'
    }
    AfterEach { Remove-VkTree $tree }

    It 'refuses both VSS switches before reading or writing anything' {
        Remove-Item -LiteralPath (Join-Path $tree.OpenSsh 'ssh.exe')
        $result = Invoke-Install $tree @{ EnrollmentFile = (Join-Path $tree.Root 'missing.json'); Source = (Join-Path $tree.Root 'missing'); UseVss = $true; UseVssWriters = $true }
        $result.Thrown | Should -BeExactly 'Choose volume-only VSS or native writers VSS, not both.'
        $tree.InstallDir | Should -Not -Exist
        $tree.StateDir | Should -Not -Exist
        $FakeWindows.Calls | Should -BeNullOrEmpty
    }

    It 'checks the enrollment file before the source' {
        $bad = New-Enrollment $tree @{ ServerPort = 0 } -Name 'bad.json'
        $result = Invoke-Install $tree @{ EnrollmentFile = $bad; Source = (Join-Path $tree.Root 'missing') }
        $result.Thrown | Should -BeExactly 'Invalid enrollment file.'
    }

    It 'ends with PowerShell''s own error for an enrollment file that is not JSON' {
        [IO.File]::WriteAllText($enrollment, '{ "Machine": ')
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $result.Thrown | Should -Not -BeNullOrEmpty
        $result.Thrown | Should -Not -Be 'Invalid enrollment file.'
        $tree.StateDir | Should -Not -Exist
    }

    It 'ends with PowerShell''s own error for a source that does not exist' {
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = (Join-Path $tree.Root 'missing') }
        $result.Thrown | Should -BeLike '*missing*'
        $tree.StateDir | Should -Not -Exist
    }

    It 'requires the source to be a directory before looking for OpenSSH' {
        Remove-Item -LiteralPath (Join-Path $tree.OpenSsh 'ssh.exe')
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = (Join-Path $tree.Source 'file.txt') }
        $result.Thrown | Should -BeExactly 'Source must be a directory.'
    }

    It 'requires <Missing> in the OpenSSH folder before creating any directory' -TestCases @(
        @{ Missing = 'ssh.exe' }, @{ Missing = 'ssh-keygen.exe' }
    ) {
        Remove-Item -LiteralPath (Join-Path $tree.OpenSsh $Missing)
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $result.Thrown | Should -BeExactly 'Install Microsoft OpenSSH Client first: Add-WindowsCapability -Online -Name OpenSSH.Client~~~~0.0.1.0'
        $tree.InstallDir | Should -Not -Exist
        $FakeWindows.IcaclsCalls.Count | Should -Be 0
    }

    It 'refuses an installation directory that is a reparse point without touching it' {
        $elsewhere = Join-Path $tree.Root 'elsewhere'
        $null = New-Item -ItemType Directory -Path $elsewhere
        $null = New-Item -ItemType SymbolicLink -Path $tree.InstallDir -Target $elsewhere
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $result.Thrown | Should -BeExactly 'Installation directory cannot be a reparse point.'
        $FakeWindows.IcaclsCalls.Count | Should -Be 0
        $tree.StateDir | Should -Not -Exist
    }

    It 'refuses a state directory that is a reparse point with the same message' {
        $elsewhere = Join-Path $tree.Root 'elsewhere'
        $null = New-Item -ItemType Directory -Path $elsewhere
        $null = New-Item -ItemType SymbolicLink -Path $tree.StateDir -Target $elsewhere
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $result.Thrown | Should -BeExactly 'Installation directory cannot be a reparse point.'
        @($FakeWindows.IcaclsCalls | ForEach-Object { $_[0] }) | Should -Not -Contain $tree.StateDir
        Join-Path $tree.InstallDir 'vardokeep-agent.exe' | Should -Not -Exist
    }

    It 'stops when <Tool> fails on the <Which> directory, before copying anything' -TestCases @(
        @{ Tool = 'icacls'; Which = 'installation' }, @{ Tool = 'icacls'; Which = 'state' }
        @{ Tool = 'takeown'; Which = 'installation' }, @{ Tool = 'takeown'; Which = 'state' }
    ) {
        $dir = if ($Which -eq 'state') { $tree.StateDir } else { $tree.InstallDir }
        if ($Tool -eq 'takeown') { $FakeWindows.TakeownFailOn = $dir } else { $FakeWindows.IcaclsFailOn = $dir }
        $null = New-Item -ItemType Directory -Path $machineDir -Force
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $result.Thrown | Should -BeExactly 'Failed to protect installation directory.'
        Join-Path $tree.InstallDir 'vardokeep-agent.exe' | Should -Not -Exist
    }

    It 'replaces the agent and scripts, then refuses an installed machine before making a key' {
        $null = New-Item -ItemType Directory -Path $machineDir -Force
        $env:VK_FAKE_KEYGEN_FAIL = '1'
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $result.Thrown | Should -BeExactly 'Machine already installed. Review the existing configuration before replacing it.'
        Join-Path $tree.InstallDir 'vardokeep-agent.exe' | Should -Exist
        Join-Path $machineDir 'id_ed25519' | Should -Not -Exist
    }

    It 'stops when ssh-keygen fails and leaves the machine directory behind' {
        $env:VK_FAKE_KEYGEN_FAIL = '1'
        $FakeWindows.IcaclsFailOn = Join-Path $machineDir 'id_ed25519'
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $result.Thrown | Should -BeExactly 'SSH key generation failed.'
        $machineDir | Should -Exist
        $env:VK_FAKE_KEYGEN_FAIL = $null
        (Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }).Thrown | Should -BeExactly 'Machine already installed. Review the existing configuration before replacing it.'
    }

    It 'stops when icacls fails on the key, before writing known_hosts' {
        $FakeWindows.IcaclsFailOn = Join-Path $machineDir 'id_ed25519'
        $null = New-Item -ItemType Directory -Path $tree.StateDir
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.StateDir }
        $result.Thrown | Should -BeExactly 'Failed to protect SSH identity.'
        Join-Path $machineDir 'known_hosts' | Should -Not -Exist
    }

    It 'writes known_hosts and ssh.conf before refusing a private source, and no job.json or task' {
        $null = New-Item -ItemType Directory -Path $tree.StateDir
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.StateDir }
        $result.Thrown | Should -BeExactly 'Agent configuration cannot be the backup source.'
        Join-Path $machineDir 'known_hosts' | Should -Exist
        Join-Path $machineDir 'ssh.conf' | Should -Exist
        Join-Path $machineDir 'job.json' | Should -Not -Exist
        $FakeWindows.Tasks.Count | Should -Be 0
    }

    It 'refuses an At value by parameter validation before the script runs' {
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source; At = '24:00' }
        $result.Thrown | Should -BeLike "*'At'*"
        $tree.StateDir | Should -Not -Exist
    }
}
