BeforeAll {
    . "$PSScriptRoot/TestSupport.ps1"
    $uninstallKey = 'HKLM:\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\Vardokeep-pc-01'
}

Describe 'Uninstall-Vardokeep.ps1' {
    BeforeEach {
        $tree = New-VkTree
        Register-RegistryMocks
        $enrollment = New-Enrollment $tree
        $null = Invoke-VkScript (Join-Path $tree.Package 'Setup-Run.ps1') @{ EnrollmentFile = $enrollment; Source = $tree.Source; At = '02:00'; Log = (Join-Path $tree.Root 'install.log') }
        $uninstall = Join-Path $tree.InstallDir 'Uninstall-Vardokeep.ps1'
        $machineDir = Join-Path $tree.StateDir 'pc-01'
        $FakeWindows.Calls.Clear()
    }
    AfterEach { Remove-VkTree $tree }

    It 'stops a running backup, unregisters the task, removes the entry and keeps everything else' {
        $FakeWindows.Tasks['Vardokeep-pc-01'].State = 'Running'
        $before = @(Get-ChildItem -LiteralPath $tree.Root -Recurse -Force | ForEach-Object FullName | Sort-Object)

        $result = Invoke-VkScript $uninstall @{ Machine = 'pc-01' }

        $result.Thrown | Should -BeNullOrEmpty
        $FakeWindows.Calls | Should -Be @(
            'Stop-ScheduledTask Vardokeep-pc-01',
            'Unregister-ScheduledTask Vardokeep-pc-01 Confirm=False',
            "Remove-Item $uninstallKey Recurse=True")
        $FakeWindows.Tasks.Count | Should -Be 0
        $FakeWindows.Registry.ContainsKey($uninstallKey) | Should -BeFalse
        @(Get-ChildItem -LiteralPath $tree.Root -Recurse -Force | ForEach-Object FullName | Sort-Object) | Should -Be $before
        $result.Text | Should -Be @(
            'Task removed. Configuration, SSH key and logs were preserved in ProgramData\Vardokeep.',
            'Disable or remove this machine in the Vardokeep panel to revoke backup reception.')
    }

    It 'fails at the unregistering when run again, leaving the rest as it is' {
        (Invoke-VkScript $uninstall @{ Machine = 'pc-01' }).Thrown | Should -BeNullOrEmpty
        $FakeWindows.Registry[$uninstallKey] = @{ DisplayName = 'left by hand' }
        $FakeWindows.Calls.Clear()

        $second = Invoke-VkScript $uninstall @{ Machine = 'pc-01' }

        $second.Thrown | Should -BeExactly "No MSFT_ScheduledTask objects found with property 'TaskName' equal to 'Vardokeep-pc-01'."
        $FakeWindows.Calls | Should -Be @('Stop-ScheduledTask Vardokeep-pc-01', 'Unregister-ScheduledTask Vardokeep-pc-01 Confirm=False')
        $FakeWindows.Registry.ContainsKey($uninstallKey) | Should -BeTrue
        $second.Text | Should -BeNullOrEmpty
    }

    It 'succeeds when the entry is already gone' {
        $FakeWindows.Registry.Remove($uninstallKey)
        (Invoke-VkScript $uninstall @{ Machine = 'pc-01' }).Thrown | Should -BeNullOrEmpty
        $FakeWindows.Tasks.Count | Should -Be 0
    }

    It 'leaves a new install of the same machine refused' {
        $null = Invoke-VkScript $uninstall @{ Machine = 'pc-01' }
        Join-Path $machineDir 'id_ed25519' | Should -Exist
        Join-Path $machineDir 'ssh.conf' | Should -Exist
        (Invoke-Install $tree @{ EnrollmentFile = $enrollment; Source = $tree.Source }).Thrown | Should -BeExactly 'Machine already installed. Review the existing configuration before replacing it.'
    }

    It 'refuses <Case> as the machine name before doing anything' -TestCases @(
        @{ Case = 'a leading dash'; BadName = '-pc' }
        @{ Case = '49 characters'; BadName = ('a' * 49) }
        @{ Case = 'a path'; BadName = 'pc/../x' }
        @{ Case = 'a trailing line feed'; BadName = "pc`n" }
    ) {
        $result = Invoke-VkScript $uninstall @{ Machine = $BadName }
        $result.Thrown | Should -BeLike "*'Machine'*"
        $FakeWindows.Calls | Should -BeNullOrEmpty
    }
}
