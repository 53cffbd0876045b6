BeforeAll {
    . "$PSScriptRoot/TestSupport.ps1"
}

# A standard user may create ProgramData\Vardokeep before the install. Granting
# SYSTEM and Administrators does not change its owner, and an owner can always
# rewrite the DACL, then ssh.conf or job.json, which the SYSTEM task trusts.
Describe 'Directories that exist before the install' {
    BeforeEach {
        $tree = New-VkTree
        $enrollment = New-Enrollment $tree
        $null = New-Item -ItemType Directory -Path $tree.StateDir
    }
    AfterEach { Remove-VkTree $tree }

    It 'become owned by Administrators when only inherited entries were foreign' {
        Set-ForeignAcl $tree.StateDir
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $result.Thrown | Should -BeNullOrEmpty
        $acl = $FakeWindows.Acl[$tree.StateDir]
        $acl.Owner | Should -Be 'S-1-5-32-544'
        @($acl.Entries | ForEach-Object { "$($_.Sid):$($_.Rights):$($_.Inherited)" }) | Should -Be @('S-1-5-18:(OI)(CI)F:False', 'S-1-5-32-544:(OI)(CI)F:False')
    }

    It 'stop the install when a foreign entry survives, before anything is copied' {
        Set-ForeignAcl $tree.StateDir -WithExplicitEntry
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $result.Thrown | Should -BeExactly 'Failed to protect installation directory.'
        @($FakeWindows.IcaclsCalls | ForEach-Object { $_ -join ' ' }) | Should -Contain "$($tree.StateDir) /setowner *S-1-5-32-544"
        Join-Path $tree.InstallDir 'vardokeep-agent.exe' | Should -Not -Exist
        Join-Path $tree.StateDir 'pc-01' | Should -Not -Exist
    }

    It 'stop the install when the owner is still foreign after icacls reported success' {
        Set-ForeignAcl $tree.StateDir
        $FakeWindows.IgnoreSetOwner = $true
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $result.Thrown | Should -BeExactly 'Failed to protect installation directory.'
        Join-Path $tree.StateDir 'pc-01' | Should -Not -Exist
    }

    It 'accept SYSTEM as the owner' {
        $acl = Get-FakeAcl $tree.StateDir
        $acl.Owner = 'S-1-5-18'
        $FakeWindows.IgnoreSetOwner = $tree.StateDir
        (Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }).Thrown | Should -BeNullOrEmpty
    }
}

Describe 'The private key' {
    BeforeEach {
        $tree = New-VkTree
        $enrollment = New-Enrollment $tree
        $keyPath = Join-Path $tree.StateDir 'pc-01/id_ed25519'
    }
    AfterEach { Remove-VkTree $tree }

    It 'keeps the installing user''s entry when only the named SIDs are granted, as a single mixed call did' {
        $ErrorActionPreference = 'Continue'  # icacls' refusals go to its error stream
        $icacls = Join-Path $tree.System32 'icacls.exe'
        $null = New-Item -ItemType Directory -Path (Split-Path -Parent $keyPath) -Force
        $null = & (Join-Path $tree.OpenSsh 'ssh-keygen.exe') -q -t ed25519 -N '""' -f $keyPath
        # /setowner is a command form of its own: the mixed call is refused whole.
        $null = & $icacls $keyPath '/inheritance:r' '/grant:r' '*S-1-5-18:F' '*S-1-5-32-544:F' '/setowner' '*S-1-5-18' 2>$null
        $LASTEXITCODE | Should -Not -Be 0
        $null = & $icacls $keyPath '/inheritance:r' '/grant:r' '*S-1-5-18:F' '*S-1-5-32-544:F'
        $LASTEXITCODE | Should -Be 0
        $acl = $FakeWindows.Acl[$keyPath]
        $acl.Owner | Should -Be $VkTest.InstallerSid
        @($acl.Entries | ForEach-Object { $_.Sid }) | Should -Contain $VkTest.InstallerSid
        foreach ($refused in @(@('/reset', '/grant', '*S-1-5-18:F'), @('/setowner'), @('/grant:x', '*S-1-5-18:F'), @('/remove', 'S-1-5-18'))) {
            $null = & $icacls $keyPath @refused 2>$null
            $LASTEXITCODE | Should -Not -Be 0 -Because ($refused -join ' ')
        }
        # The path alone is the display form: it lists the entries and succeeds.
        $shown = @(& $icacls $keyPath)
        $LASTEXITCODE | Should -Be 0
        $shown.Count | Should -Be ($acl.Entries.Count + 1)
    }

    It 'stops the install when the key is not owned by SYSTEM after icacls reported success' {
        $FakeWindows.IgnoreSetOwner = $keyPath
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $result.Thrown | Should -BeExactly 'Failed to protect SSH identity.'
        Join-Path $tree.StateDir 'pc-01/known_hosts' | Should -Not -Exist
    }
}
