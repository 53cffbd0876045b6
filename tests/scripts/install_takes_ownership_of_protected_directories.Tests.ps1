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
        $FakeWindows.IgnoreSetOwner = $true
        (Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }).Thrown | Should -BeNullOrEmpty
    }
}
