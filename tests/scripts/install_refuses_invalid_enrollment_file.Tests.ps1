BeforeDiscovery {
    # The cases below are built during discovery and use the shared host key.
    . "$PSScriptRoot/TestSupport.ps1"
}
BeforeAll {
    . "$PSScriptRoot/TestSupport.ps1"
}

# A file that passes the rules goes on to the source check, which a plain file
# as source fails: that message shows the enrollment file was accepted.
Describe 'Enrollment file rules' {
    BeforeAll {
        $tree = New-VkTree
        $notADirectory = Join-Path $tree.Source 'file.txt'
    }
    AfterAll { Remove-VkTree $tree }

    It '<Case> gives "<Expected>"' -TestCases @(
        @{ Case = 'a valid file'; Override = @{}; Without = @(); Expected = 'Source must be a directory.' }
        @{ Case = 'unknown keys and a 48-character machine'; Override = @{ Machine = ('a' * 48); Extra = 1 }; Without = @(); Expected = 'Source must be a directory.' }
        @{ Case = 'port 1'; Override = @{ ServerPort = 1 }; Without = @(); Expected = 'Source must be a directory.' }
        @{ Case = 'port 65535'; Override = @{ ServerPort = 65535 }; Without = @(); Expected = 'Source must be a directory.' }
        @{ Case = 'a 253-character host'; Override = @{ ServerHost = ('h' * 253) }; Without = @(); Expected = 'Source must be a directory.' }
        @{ Case = 'a host key with a comment'; Override = @{ HostKey = $VkTest.ValidHostKey + ' root@server' }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'a host key of 67 characters'; Override = @{ HostKey = $VkTest.ValidHostKey.Substring(0, $VkTest.ValidHostKey.Length - 1) }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'a host key of 69 characters'; Override = @{ HostKey = $VkTest.ValidHostKey + 'A' }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'a host key with padding'; Override = @{ HostKey = $VkTest.ValidHostKey.Substring(0, $VkTest.ValidHostKey.Length - 1) + '=' }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'another key type'; Override = @{ HostKey = $VkTest.ValidHostKey.Replace('ssh-ed25519', 'ssh-rsa') }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'a host key with a trailing line feed'; Override = @{ HostKey = $VkTest.ValidHostKey + "`n" }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'a machine of 49 characters'; Override = @{ Machine = ('a' * 49) }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'a machine starting with a dot'; Override = @{ Machine = '.pc' }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'a machine starting with a dash'; Override = @{ Machine = '-pc' }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'a machine with a backslash'; Override = @{ Machine = 'pc\..\x' }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'a machine with a trailing line feed'; Override = @{ Machine = "pc`n" }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'a numeric machine'; Override = @{ Machine = 12 }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'port 0'; Override = @{ ServerPort = 0 }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'port 65536'; Override = @{ ServerPort = 65536 }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'a port as a string'; Override = @{ ServerPort = '22' }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'a fractional port'; Override = @{ ServerPort = 22.5 }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'a 254-character host'; Override = @{ ServerHost = ('h' * 254) }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'a host with a blank'; Override = @{ ServerHost = 'backup host' }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'a user with an at sign'; Override = @{ ServerUser = 'vk@backup' }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'an empty user'; Override = @{ ServerUser = '' }; Without = @(); Expected = 'Invalid enrollment file.' }
        @{ Case = 'no Machine'; Override = @{}; Without = @('Machine'); Expected = 'Invalid enrollment file.' }
        @{ Case = 'no ServerHost'; Override = @{}; Without = @('ServerHost'); Expected = 'Invalid enrollment file.' }
        @{ Case = 'no ServerUser'; Override = @{}; Without = @('ServerUser'); Expected = 'Invalid enrollment file.' }
        @{ Case = 'no ServerPort'; Override = @{}; Without = @('ServerPort'); Expected = 'Invalid enrollment file.' }
        @{ Case = 'no HostKey'; Override = @{}; Without = @('HostKey'); Expected = 'Invalid enrollment file.' }
    ) {
        $path = New-Enrollment $tree $Override $Without
        $result = Invoke-Install $tree @{ EnrollmentFile = $path; Source = $notADirectory }
        $result.Thrown | Should -BeExactly $Expected
        $tree.StateDir | Should -Not -Exist
    }
}
