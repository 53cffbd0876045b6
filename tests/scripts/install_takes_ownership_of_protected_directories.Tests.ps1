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

    It 'lose the entries of other accounts, on the folder and below, in one recursive call per account' {
        Set-ForeignAcl $tree.StateDir -WithExplicitEntry
        $log = Join-Path $tree.StateDir 'old/backup-20240101-000000.log'
        $null = New-Item -ItemType Directory -Path (Split-Path -Parent $log)
        [IO.File]::WriteAllText($log, 'old run')
        Add-ExplicitEntry $log $VkTest.EveryoneSid '(WD,AD)'
        Add-ExplicitEntry $log $VkTest.ForeignSid 'F' 'Deny'
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $result.Thrown | Should -BeNullOrEmpty
        @($FakeWindows.Calls | Where-Object { $_ -like '* /remove * /T /C' }) | Should -Be @(
            "icacls.exe $($tree.StateDir) /remove *$($VkTest.ForeignSid) /T /C", "icacls.exe $($tree.StateDir) /remove *$($VkTest.EveryoneSid) /T /C")
        foreach ($path in @($tree.StateDir, (Split-Path -Parent $log), $log)) {
            @($FakeWindows.Acl[$path].Entries | ForEach-Object { $_.Sid } | Sort-Object -Unique) | Should -Be @('S-1-5-18', 'S-1-5-32-544') -Because $path
            $FakeWindows.Acl[$path].Owner | Should -Be 'S-1-5-32-544'
        }
    }

    It 'stop the install when an object below keeps a foreign owner after icacls reported success' {
        $log = Join-Path $tree.StateDir 'backup.log'
        [IO.File]::WriteAllText($log, 'old run')
        Set-ForeignAcl $log
        $FakeWindows.IgnoreSetOwner = $log
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $result.Thrown | Should -BeExactly 'Failed to protect installation directory.'
        Join-Path $tree.InstallDir 'vardokeep-agent.exe' | Should -Not -Exist
        Join-Path $tree.StateDir 'pc-01' | Should -Not -Exist
    }

    It 'accept SYSTEM as the owner of what lies below, as the task''s logs are' {
        $log = Join-Path $tree.StateDir 'backup.log'
        [IO.File]::WriteAllText($log, 'a run')
        (Get-FakeAcl $log).Owner = 'S-1-5-18'
        $FakeWindows.IgnoreSetOwner = $log
        (Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }).Thrown | Should -BeNullOrEmpty
    }

    # A junction below would lead the recursive calls, made as an administrator,
    # to whatever it points at.
    It 'refuse a reparse point below the <Which> directory before changing anything below' -TestCases @(
        @{ Which = 'installation' }, @{ Which = 'state' }
    ) {
        $dir = if ($Which -eq 'state') { $tree.StateDir } else { $tree.InstallDir }
        $elsewhere = Join-Path $tree.Root 'elsewhere'
        $null = New-Item -ItemType Directory -Path $elsewhere, (Join-Path $dir 'sub') -Force
        $null = New-Item -ItemType SymbolicLink -Path (Join-Path $dir 'sub/link') -Target $elsewhere
        $result = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $result.Thrown | Should -BeExactly 'Failed to protect installation directory.'
        @($FakeWindows.IcaclsCalls | Where-Object { $_[0].StartsWith($dir) }) | Should -BeNullOrEmpty
        @($FakeWindows.Acl.Keys | Where-Object { $_.StartsWith($elsewhere) }) | Should -BeNullOrEmpty
        Join-Path $tree.InstallDir 'vardokeep-agent.exe' | Should -Not -Exist
    }
}

# Explorer's "Continue" on a folder that admits only SYSTEM and Administrators
# gives the administrator's own account full control (Add-ExplorerGrant has
# both readings of what it writes). Any unelevated process of that account
# could then rewrite what the task runs as SYSTEM.
Describe 'Explorer''s Continue on the three folders' {
    BeforeEach { $tree = New-VkTree }
    AfterEach { Remove-VkTree $tree }

    It 'is refused by the runner and undone by the installer run again (<Reading>, new objects owned by <Owner>)' -TestCases @(
        @{ Reading = 'FolderOnly'; Owner = 'Administrators' }
        @{ Reading = 'EveryObject'; Owner = 'the administrator' }
    ) {
        if ($Owner -ne 'Administrators') { $FakeWindows.DefaultOwner = $VkTest.InstallerSid }
        $machine = New-UniqueMachineName 'explorer'
        $enrollment = New-Enrollment $tree @{ Machine = $machine }
        $machineDir = Join-Path $tree.StateDir $machine
        (Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }).Thrown | Should -BeNullOrEmpty
        (Invoke-Runner $tree $machine).ExitCode | Should -Be 0

        foreach ($dir in @($tree.InstallDir, $tree.StateDir, $machineDir)) { Add-ExplorerGrant $dir $Reading }
        $refused = Invoke-Runner $tree $machine
        $refused.ExitCode | Should -Be 1
        $refused.Errors | Should -Be @('Machine configuration can be changed by other accounts; run the installer again to repair it.')

        $again = Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }
        $again.Thrown | Should -BeExactly 'Machine already installed. Review the existing configuration before replacing it.'
        $everything = @($tree.InstallDir, $tree.StateDir) + @(Get-FakeTreeBelow $tree.InstallDir) + @(Get-FakeTreeBelow $tree.StateDir)
        $left = foreach ($path in $everything) {
            $acl = Get-FakeAcl $path
            $grants = @($acl.Entries | Where-Object { @('S-1-5-18', 'S-1-5-32-544', 'S-1-5-32-545') -notcontains $_.Sid })
            if ($grants.Count -gt 0 -or @('S-1-5-18', 'S-1-5-32-544') -notcontains $acl.Owner) { "$path owner $($acl.Owner), $($grants.Count) other entries" }
        }
        $left | Should -BeNullOrEmpty
        (Get-FakeAcl (Join-Path $machineDir 'id_ed25519')).Owner | Should -Be 'S-1-5-18'
        (Invoke-Runner $tree $machine).ExitCode | Should -Be 0
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
